#pragma once

#include "support/task_queue.h"

namespace vantrel {

// Each task on a thread of its own that nobody waits for: an update run blocks for up to the
// length of a download, and quitting the application must neither wait for it nor hold up the
// shared background queue meanwhile.
class ThreadPerTaskQueue final : public TaskQueue {
  public:
    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
};

}  // namespace vantrel
