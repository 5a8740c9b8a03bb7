#pragma once

#include "support/task_queue.h"
#include "support/timed_tasks.h"

namespace vantrel {

// The headless application's main loop: runs posted tasks on the thread that calls run().
class RunLoop final : public TaskQueue {
  public:
    void post(Task task) override;
    void postAfter(double seconds, Task task) override;

    // Runs tasks until quit() has been called (from any thread, or from a task).
    void run();
    void quit();

  private:
    TimedTasks tasks_;
};

}  // namespace vantrel
