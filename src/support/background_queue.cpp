#include "support/background_queue.h"

#include "support/seconds.h"

namespace vantrel {

BackgroundQueue::BackgroundQueue(int threads) {
    for (int i = 0; i < threads; ++i) {
        workers_.emplace_back([tasks = tasks_] {
            while (auto task = tasks->takeWhenDue()) {
                (*task)();
            }
        });
    }
}

BackgroundQueue::~BackgroundQueue() {
    tasks_->close();
    for (auto& worker : workers_) {
        // The last owner may let go inside one of these tasks (a relaunch check that held the
        // supervisor); that worker cannot wait for itself, and ends on its own once back.
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }
}

void BackgroundQueue::post(Task task) {
    tasks_->add(TimedTasks::Clock::now(), std::move(task));
}

void BackgroundQueue::postAfter(double seconds, Task task) {
    tasks_->add(TimedTasks::Clock::now() + toDuration(seconds), std::move(task));
}

}  // namespace vantrel
