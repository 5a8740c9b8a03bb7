#include "support/background_queue.h"

#include "support/seconds.h"

namespace vantrel {

BackgroundQueue::BackgroundQueue(int threads) {
    for (int i = 0; i < threads; ++i) {
        workers_.emplace_back([this] {
            while (auto task = tasks_.takeWhenDue()) {
                (*task)();
            }
        });
    }
}

BackgroundQueue::~BackgroundQueue() {
    tasks_.close();
    for (auto& worker : workers_) {
        worker.join();
    }
}

void BackgroundQueue::post(Task task) {
    tasks_.add(TimedTasks::Clock::now(), std::move(task));
}

void BackgroundQueue::postAfter(double seconds, Task task) {
    tasks_.add(TimedTasks::Clock::now() + toDuration(seconds), std::move(task));
}

}  // namespace vantrel
