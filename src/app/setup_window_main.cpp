// The setup window's own process, lib/vantrel-setup-window in the bundle: the web engine lives
// here, and only while the window is open. The desktop application talks to it over standard
// input (setup/setup_window_protocol.h). It ends once its window is closed and no download runs,
// when the application closes the socket, or when the application ends (its parent-death signal).

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSettings>
#include <QSocketNotifier>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "app/main_menu.h"
#include "setup/setup_web_window.h"
#include "setup/setup_window_protocol.h"
#include "support/qt_alerts.h"
#include "support/qt_main_queue.h"
#include "support/qt_workspace.h"

namespace vantrel {
namespace {

namespace protocol = setup_protocol;

void report(std::string_view word) {
    const auto line = protocol::line(word);
    // A lost report is harmless: the application also sees this process end.
    (void)::send(STDIN_FILENO, line.data(), line.size(), MSG_NOSIGNAL);
}

// The commands arriving on standard input; its end ends this process.
class Commands final : public QObject {
  public:
    explicit Commands(SetupWebWindow& window)
        : window_(window), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, &Commands::read);
    }

  private:
    void read() {
        char buffer[256];
        auto count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            notifier_.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        protocol::takeLines(pending_, std::string_view(buffer, static_cast<std::size_t>(count)),
                            [this](const std::string& command) { run(command); });
    }

    void run(const std::string& command) {
        if (command == protocol::kShow) {
            // Answered even when nothing changed, so that the application knows it arrived.
            window_.show();
            report(protocol::kOpen);
        } else if (command == protocol::kClose) {
            window_.close();
        }
    }

    SetupWebWindow& window_;
    QSocketNotifier notifier_;
    std::string pending_;
};

double loadTimeout(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]).starts_with(protocol::kLoadTimeoutOption)) {
        return std::atof(argv[1] + protocol::kLoadTimeoutOption.size());
    }
    return SetupLoading::kLoadTimeoutSeconds;
}

int run(int argc, char** argv) {
    // The web engine shares its GL contexts with the application's; this must precede the
    // application object.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The application leaves GL out of its own Wayland windows; the web engine needs it.
    if (qgetenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION") == "none") {
        qunsetenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION");
    }
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Vantrel"));
    QCoreApplication::setApplicationName(QStringLiteral("Vantrel Agent"));
    // One application for the desktop: the window belongs to the application's menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrel-agent"));
    QGuiApplication::setQuitOnLastWindowClosed(false);

    auto menu = MainMenu::install([] { report(protocol::kQuit); });
    SetupWebWindow window(std::make_shared<QtWorkspace>(), std::make_shared<QtAlerts>(),
                          std::make_shared<QSettings>(), std::make_shared<QtMainQueue>(),
                          loadTimeout(argc, argv));
    QObject::connect(&window, &SetupWebWindow::stateChanged, [](bool visible, bool minimised) {
        report(!visible ? protocol::kClosed : minimised ? protocol::kMinimised : protocol::kOpen);
    });
    QObject::connect(&window, &SetupWebWindow::ended, &QCoreApplication::quit);
    Commands commands(window);
    window.show();
    return application.exec();
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
    return vantrel::run(argc, argv);
}
