#include <signal.h>

#include <QApplication>

#include <cstdio>
#include <memory>

#include "app/app_delegate.h"
#include "app/application_parts.h"
#include "app/desktop.h"
#include "app/reopen_request.h"
#include "app/reopen_server.h"
#include "app/running_instance_window.h"
#include "app/termination_signals.h"
#include "support/bundle.h"
#include "support/instance_lock.h"
#include "support/paths.h"
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
int handOver(int argc, char** argv, const LaunchOptions& options) {
    if (options.loginItem) {
        return 0;
    }
    auto answer = requestReopen(reopenSocketPath(), kHandOverSeconds);
    if (answer && answer->instance == RunningInstance::desktop) {
        return 0;
    }
    return showRunningInstance(argc, argv, answer);
}

// The shared parts plus the desktop's own: its main queue, windows, alerts and one settings store.
std::unique_ptr<StatusMenu> makeStatusMenu(const ApplicationParts& parts,
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
        .diagnostics =
            std::make_unique<DiagnosticsWindow>(workspace, parts.background, parts.mainQueue),
        .networkWarning = std::make_unique<NetworkWarning>(parts.background, parts.mainQueue),
        .keepAwake = makeKeepAwake(),
        .loginItem = makeLoginItem(bundle::executable()),
        .settings = settings,
        .alerts = alerts,
        .workspace = workspace,
        .build = BuildFlavour::ofThisBundle(),
    });
}

}  // namespace

int runDesktop(int argc, char** argv, const LaunchOptions& options) {
    auto instance = InstanceLock::acquire(Paths::support(), bundle::root());
    if (!instance.lock) {
        if (!instance.problem.empty()) {
            std::fprintf(stderr, "Vantrel Agent %s\n", instance.problem.c_str());
            return 1;
        }
        return handOver(argc, argv, options);
    }
    ::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Vantrel"));
    QCoreApplication::setApplicationName(QStringLiteral("Vantrel Agent"));

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &application,
                     &QCoreApplication::quit);
    auto alerts = std::make_shared<QtAlerts>();
    // An installed update asks for the ordinary quit, which stops the agent on the way out.
    auto parts =
        buildApplicationParts(std::make_shared<QtMainQueue>(), [] { QCoreApplication::quit(); });
    AppDelegate delegate(makeStatusMenu(parts, alerts), alerts, options.loginItem);
    ReopenServer reopen;
    QObject::connect(&reopen, &ReopenServer::reopenRequested, &delegate, &AppDelegate::reopen);
    auto socket = reopenSocketPath();
    preparePrivateFolder(socket.parent_path());
    reopen.listen(socket);

    QMetaObject::invokeMethod(&delegate, &AppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    application.exec();
    // The application ends only after its agent: its last words reach the log.
    parts.agent->stopAndWait();
    return 0;
}

}  // namespace vantrel
