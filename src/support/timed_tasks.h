#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

#include "support/task_queue.h"

namespace vantrel {

// Tasks ordered by due time (first posted first among equals), waited for without polling:
// a waiting thread sleeps until the earliest task is due or a new one arrives.
class TimedTasks {
  public:
    using Clock = std::chrono::steady_clock;

    void add(Clock::time_point due, Task task);
    // Blocks until a task is due and returns it, or returns nothing once closed.
    std::optional<Task> takeWhenDue();
    // Wakes every waiter; takeWhenDue returns nothing from now on.
    void close();

  private:
    struct Entry {
        Clock::time_point due;
        std::uint64_t order;
        Task task;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextOrder_ = 0;
    bool closed_ = false;
};

}  // namespace vantrel
