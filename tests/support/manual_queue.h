#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "support/task_queue.h"

namespace vantrel::testing {

// A queue on a virtual clock: nothing runs until the test says so. Posts may come from any thread.
class ManualQueue final : public TaskQueue {
  public:
    void post(Task task) override { postAfter(0, std::move(task)); }
    void postAfter(double seconds, Task task) override;

    double now() const;
    // Runs every task due now, including those that running tasks post for now; returns how many.
    int runDue();
    // Moves the clock forward by seconds, running tasks in order of due time on the way.
    int advance(double seconds);
    // The delay from now of the earliest waiting task, if any.
    std::optional<double> nextDelay() const;
    size_t size() const;
    // Blocks until at least `count` tasks are waiting, or the real timeout passes.
    bool waitForTasks(size_t count, double timeoutSeconds = 10);

  private:
    struct Entry {
        double due;
        std::uint64_t order;
        Task task;
    };
    std::optional<Entry> takeDue(double until);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
    double now_ = 0;
    std::uint64_t nextOrder_ = 0;
};

}  // namespace vantrel::testing
