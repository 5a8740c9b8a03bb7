#include "support/run_loop.h"

#include "support/seconds.h"

namespace vantrel {

void RunLoop::post(Task task) {
    tasks_.add(TimedTasks::Clock::now(), std::move(task));
}

void RunLoop::postAfter(double seconds, Task task) {
    tasks_.add(TimedTasks::Clock::now() + toDuration(seconds), std::move(task));
}

void RunLoop::run() {
    while (auto task = tasks_.takeWhenDue()) {
        (*task)();
    }
}

void RunLoop::quit() {
    tasks_.close();
}

}  // namespace vantrel
