#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "support/task_queue.h"
#include "support/timed_tasks.h"

namespace vantrel {

// The shared background queue: a few worker threads, so that one blocking task (an orphan's
// wait, a network probe) does not hold up a delayed relaunch.
class BackgroundQueue final : public TaskQueue {
  public:
    explicit BackgroundQueue(int threads = 4);
    ~BackgroundQueue() override;
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;

  private:
    // Shared with the workers, so that one detached by the destructor can still find the end.
    std::shared_ptr<TimedTasks> tasks_ = std::make_shared<TimedTasks>();
    std::vector<std::thread> workers_;
};

}  // namespace vantrel
