#pragma once

#include <functional>

namespace vantrel {

using Task = std::function<void()>;

// A place to run work later: the main thread's loop or the shared background queue.
// Posting never runs the task inline, so it is safe while holding a lock.
class TaskQueue {
  public:
    virtual ~TaskQueue() = default;
    virtual void post(Task task) = 0;
    virtual void postAfter(double seconds, Task task) = 0;
};

}  // namespace vantrel
