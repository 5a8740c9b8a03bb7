#include "support/timed_tasks.h"

namespace vantrel {

void TimedTasks::add(Clock::time_point due, Task task) {
    {
        std::lock_guard lock(mutex_);
        entries_.push(Entry{due, nextOrder_++, std::move(task)});
    }
    changed_.notify_all();
}

std::optional<Task> TimedTasks::takeWhenDue() {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        if (entries_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto due = entries_.top().due;
        if (Clock::now() >= due) {
            Task task = std::move(const_cast<Entry&>(entries_.top()).task);
            entries_.pop();
            return task;
        }
        changed_.wait_until(lock, due);
    }
    return std::nullopt;
}

void TimedTasks::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

}  // namespace vantrel
