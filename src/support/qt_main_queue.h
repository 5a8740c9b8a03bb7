#pragma once

#include "support/task_queue.h"

namespace vantrel {

// The desktop's main queue: tasks run on the Qt application's event loop, posted from any thread.
// Tasks posted once the application object is gone are dropped.
class QtMainQueue final : public TaskQueue {
  public:
    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
};

}  // namespace vantrel
