#include "gui_harness.h"

#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cstdlib>

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vantrel::testing {

void startGuiApplication() {
    static SandboxedHome* home = nullptr;
    if (home) {
        return;
    }
    home = new SandboxedHome;
    if (!::getenv("DISPLAY") && !::getenv("WAYLAND_DISPLAY")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    if (::geteuid() == 0) {
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "setup_window_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

const std::filesystem::path& sandboxHome() {
    static const std::filesystem::path home = ::getenv("HOME");
    return home;
}

// The window's native handle is replaced once when its page's first view arrives; a search that
// found the old one fails and is made again.
bool typeInWindowOf(int pid, const std::string& keys) {
    auto command = "xdotool search --sync --all --onlyvisible --pid " + std::to_string(pid) +
                   " --name '^Vantrel Agent$' windowfocus --sync key " + keys;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (std::system(command.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

bool waitFor(const std::function<bool()>& condition, double timeoutSeconds) {
    QDeadlineTimer deadline(static_cast<qint64>(timeoutSeconds * 1000));
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace vantrel::testing
