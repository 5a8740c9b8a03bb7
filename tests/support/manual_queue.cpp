#include "support/manual_queue.h"

#include <algorithm>
#include <chrono>

namespace vantrel::testing {

void ManualQueue::postAfter(double seconds, Task task) {
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(Entry{now_ + std::max(seconds, 0.0), nextOrder_++, std::move(task)});
    }
    changed_.notify_all();
}

double ManualQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::optional<ManualQueue::Entry> ManualQueue::takeDue(double until) {
    std::lock_guard lock(mutex_);
    auto earliest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    if (earliest == entries_.end() || earliest->due > until) {
        return std::nullopt;
    }
    Entry entry = std::move(*earliest);
    entries_.erase(earliest);
    now_ = std::max(now_, entry.due);
    return entry;
}

int ManualQueue::runDue() {
    return advance(0);
}

int ManualQueue::advance(double seconds) {
    double until = now() + seconds;
    int ran = 0;
    while (auto entry = takeDue(until)) {
        entry->task();
        ++ran;
    }
    std::lock_guard lock(mutex_);
    now_ = until;
    return ran;
}

std::optional<double> ManualQueue::nextDelay() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    auto earliest = std::min_element(entries_.begin(), entries_.end(),
                                     [](auto& a, auto& b) { return a.due < b.due; });
    return earliest->due - now_;
}

size_t ManualQueue::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

bool ManualQueue::waitForTasks(size_t count, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return entries_.size() >= count; });
}

}  // namespace vantrel::testing
