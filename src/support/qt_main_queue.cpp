#include "support/qt_main_queue.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

#include "support/seconds.h"

namespace vantrel {

void QtMainQueue::post(Task task) {
    if (auto* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
    }
}

void QtMainQueue::postAfter(double seconds, Task task) {
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(toDuration(seconds));
    // Timers belong to the thread that starts them, so the timer is started on the main thread.
    post([delay, task = std::move(task)]() mutable {
        QTimer::singleShot(delay, QCoreApplication::instance(), std::move(task));
    });
}

}  // namespace vantrel
