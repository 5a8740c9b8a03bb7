#include "update/thread_per_task_queue.h"

#include <thread>

#include "support/seconds.h"

namespace vantrel {

void ThreadPerTaskQueue::post(Task task) {
    std::thread(std::move(task)).detach();
}

void ThreadPerTaskQueue::postAfter(double seconds, Task task) {
    std::thread([delay = toDuration(seconds), task = std::move(task)] {
        std::this_thread::sleep_for(delay);
        task();
    }).detach();
}

}  // namespace vantrel
