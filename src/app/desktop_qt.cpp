#include <signal.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/app_delegate.h"
#include "app/application_parts.h"
#include "app/desktop.h"
#include "app/headless_app.h"
#include "app/platform_choice.h"
#include "app/reopen_request.h"
#include "app/reopen_server.h"
#include "app/run_start.h"
#include "app/running_instance_window.h"
#include "app/termination_signals.h"
#include "menubar/status_icon.h"
#include "support/bundle.h"
#include "support/qt_alerts.h"
#include "support/qt_main_queue.h"
#include "support/qt_workspace.h"

namespace vantrel {
namespace {

// How long a second start waits for the running instance to take its request.
constexpr double kHandOverSeconds = 5;

// Another instance holds the lock: a desktop one takes the request and shows its setup window;
// one without a window, or none that answers, is shown in a window here. A start at login has
// nothing to ask of it.
int handOver(int argc, char** argv, const LaunchOptions& options,
             const std::filesystem::path& socket) {
    if (options.loginItem) {
        return 0;
    }
    auto answer = requestReopen(socket, kHandOverSeconds);
    if (answer && answer->instance == RunningInstance::desktop) {
        return 0;
    }
    return showRunningInstance(argc, argv, answer, socket);
}

// The shared parts plus the desktop's own: its main queue, windows, alerts and one settings store.
std::unique_ptr<StatusMenu> makeStatusMenu(const RunContext& context, const ApplicationParts& parts,
                                           std::shared_ptr<Notices> notices,
                                           std::shared_ptr<Alerts> alerts) {
    auto workspace = std::make_shared<QtWorkspace>();
    // Under the organization and application names set on the application.
    auto settings = std::make_shared<QSettings>();
    auto setup = std::make_unique<SetupWindow>(bundle::root() / SetupWindow::kProgram);
    QObject::connect(setup.get(), &SetupWindow::quitRequested, qApp, &QCoreApplication::quit);
    return std::make_unique<StatusMenu>(StatusMenu::Parts{
        .agent = parts.agent,
        .updater = parts.updater,
        .setup = std::move(setup),
        .diagnostics = std::make_unique<DiagnosticsWindow>(
            workspace, parts.background, parts.mainQueue, context.paths.support()),
        .networkWarning = std::make_unique<NetworkWarning>(parts.background, parts.mainQueue),
        .keepAwake = makeKeepAwake(),
        .loginItem = makeLoginItem(bundle::executable(), context.paths.autostartEntry()),
        .settings = settings,
        .alerts = alerts,
        .workspace = workspace,
        .notices = notices,
        .build = context.build,
        .log = context.paths.log(),
    });
}

// The desktop entry the windows belong to: Wayland's app_id and X11's WM_CLASS name it.
constexpr const char* kDesktopEntry = "vantrel-agent";

// A buffer integration that does not exist, so Wayland windows use shared memory only.
constexpr const char* kNoGlBuffers = "none";

// What the toolkit says while it looks for a platform: the reason, when none starts.
QStringList platformMessages;

void collectPlatformMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
    platformMessages.append(message);
}

// Makes the application object on the first platform that starts, or on none: the toolkit is
// offered a last platform that needs no display instead of aborting. The toolkit's variable is
// put back, so that the setup window's process makes the same choice for itself.
std::unique_ptr<QApplication> makeApplication(int& argc, char** argv) {
    const char* asked = std::getenv("QT_QPA_PLATFORM");
    const std::string original = asked ? asked : "";
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    ::setenv("QT_QPA_PLATFORM",
             platform_choice::toTry(original, wayland && *wayland, x11 && *x11).c_str(), 1);
    // The instance part of WM_CLASS, as the desktop file's name.
    ::setenv("RESOURCE_NAME", kDesktopEntry, 0);
    // The widgets draw into shared memory; loading Wayland's GL buffers would map a software
    // renderer worth some 50 MB that nothing here uses. The setup window's process takes it back.
    ::setenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", kNoGlBuffers, 0);
    auto previous = qInstallMessageHandler(collectPlatformMessage);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    asked ? ::setenv("QT_QPA_PLATFORM", original.c_str(), 1) : ::unsetenv("QT_QPA_PLATFORM");
    if (platform_choice::noneStarted(original, QGuiApplication::platformName().toStdString())) {
        return nullptr;
    }
    for (const auto& message : std::exchange(platformMessages, {})) {
        qWarning().noquote() << message;
    }
    return application;
}

}  // namespace

RunEnd runDesktop(int argc, char** argv, const LaunchOptions& options, const RunContext& context) {
    auto start = RunStart::begin(context.paths, bundle::root());
    if (start.refused == RunStart::Refused::anotherInstance) {
        return {handOver(argc, argv, options, start.socket)};
    }
    if (start.refused == RunStart::Refused::lock) {
        std::fprintf(stderr, "Vantrel Agent %s\n", start.reason.c_str());
        return {1};
    }
    ::signal(SIGPIPE, SIG_IGN);
    auto application = makeApplication(argc, argv);
    if (!application) {
        std::fprintf(stderr, "VantrelAgent: the desktop cannot start (%s); running headless\n",
                     qPrintable(platformMessages.join(QStringLiteral("; "))));
        start = {};
        return runHeadless(options, context);
    }
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopEntry));
    addIconFolder(context.paths.icons());
    QCoreApplication::setOrganizationName(QStringLiteral("Vantrel"));
    QCoreApplication::setApplicationName(QStringLiteral("Vantrel Agent"));

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, application.get(),
                     &QCoreApplication::quit);
    auto alerts = std::make_shared<QtAlerts>();
    auto notices = std::make_shared<Notices>(steadySeconds);
    // An installed update is told about, then asks for the ordinary quit, which stops the agent
    // on the way out; one that asks once a quit is under way is left for the next start.
    bool quitting = false;
    bool updateAsked = false;
    bool stopAsked = false;
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit,
                     [&quitting] { quitting = true; });
    QObject::connect(&termination, &TerminationSignals::received,
                     [&stopAsked] { stopAsked = true; });
    auto parts = buildApplicationParts(
        context, std::make_shared<QtMainQueue>(), [notices, &quitting, &updateAsked] {
            if (quitting) {
                return;
            }
            updateAsked = true;
            notices->raise(Notice::updateInstalled, [] { QCoreApplication::quit(); });
        });
    std::optional<std::string> cannotStart;
    if (start.refused == RunStart::Refused::folders) {
        cannotStart = start.reason;
    }
    AppDelegate delegate(makeStatusMenu(context, parts, notices, alerts), alerts,
                         {.loginItem = options.loginItem, .cannotStart = cannotStart});
    ReopenServer reopen;
    QObject::connect(&reopen, &ReopenServer::reopenRequested, &delegate, &AppDelegate::reopen);
    reopen.listen(start.socket);

    QMetaObject::invokeMethod(&delegate, &AppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    application->exec();
    // The application ends only after its agent: its last words reach the log.
    parts.agent->stopAndWait();
    return {0, updateAsked && !stopAsked};
}

}  // namespace vantrel
