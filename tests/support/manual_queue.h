#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

#include "support/task_queue.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// A queue on a virtual clock: nothing runs until the test says so. Posts may come from any thread;
// tasks due at the same time run in the order posted.
class ManualQueue final : public TaskQueue {
  public:
    void post(Task task) override { postAfter(0, std::move(task)); }
    void postAfter(double seconds, Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.emplace(now_ + std::max(seconds, 0.0), std::move(task));
    }
    double now() const { return std::lock_guard(mutex_), now_; }
    size_t size() const { return std::lock_guard(mutex_), tasks_.size(); }
    // Runs every task due now, including those that running tasks post for now; returns how many.
    int runDue() { return advance(0); }
    // Moves the clock forward, running the tasks due on the way in order of due time.
    int advance(double seconds) {
        const double until = now() + seconds;
        int ran = 0;
        for (; Task task = takeDue(until); ++ran) {
            task();
        }
        std::lock_guard lock(mutex_);
        now_ = until;
        return ran;
    }
    // The delay from now of the earliest waiting task, if any.
    std::optional<double> nextDelay() const {
        std::lock_guard lock(mutex_);
        return tasks_.empty() ? std::nullopt : std::optional(tasks_.begin()->first - now_);
    }
    // Waits (real time) until at least `count` tasks are waiting, or the timeout passes.
    bool waitForTasks(size_t count, double timeoutSeconds = 10) {
        return eventually([&] { return size() >= count; }, timeoutSeconds);
    }

  private:
    Task takeDue(double until) {
        std::lock_guard lock(mutex_);
        if (tasks_.empty() || tasks_.begin()->first > until) {
            return {};
        }
        now_ = std::max(now_, tasks_.begin()->first);
        return std::move(tasks_.extract(tasks_.begin()).mapped());
    }

    mutable std::mutex mutex_;
    std::multimap<double, Task> tasks_;
    double now_ = 0;
};

}  // namespace vantrel::testing
