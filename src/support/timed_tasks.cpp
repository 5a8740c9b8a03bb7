#include "support/timed_tasks.h"

namespace vantrel {

// Once closed, nothing runs any more: a task added then is dropped, outside the lock, so that one
// holding its own queue (a quit posted to a loop that has ended) leaves no cycle behind.
void TimedTasks::add(Clock::time_point due, Task task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
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
    decltype(entries_) dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        std::swap(dropped, entries_);
    }
    changed_.notify_all();
}

}  // namespace vantrel
