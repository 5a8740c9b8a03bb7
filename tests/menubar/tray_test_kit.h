#pragma once

#include <QCoreApplication>
#include <QMenu>
#include <QSettings>
#include <QTimer>

#include "../setup/gui_harness.h"
#include "menubar/status_menu.h"
#include "support/background_queue.h"
#include "support/manual_queue.h"
#include "support/qt_main_queue.h"
#include "support/temp_dir.h"
#include "update/release_installer.h"

namespace vantrel::testing {

// Keep-awake that grants each request on the next turn of the event loop.
class FakeKeepAwake final : public KeepAwake {
  public:
    void hold(Answer answer) override {
        QTimer::singleShot(0, &context_,
                           [this, answer = std::move(answer)] { answer(held = true); });
    }
    void release() override { held = false; }
    bool isHeld() const override { return held; }
    bool held = false;
    QObject context_;  // the pending answers die with the fake
};

// A status menu over stand-ins the test reaches: a /bin/sh script as the agent, manual update
// queues (no check runs unless the test runs it, none gets as far as installing) and an update
// server where nothing listens, a network that is reachable.
struct MenuUnderTest {
    // With `realKeepAwake` given, the menu uses it and `keepAwake` stays unset.
    explicit MenuUnderTest(Build build, const std::string& script = "sleep 30\n",
                           std::unique_ptr<KeepAwake> realKeepAwake = nullptr) {
        writeFile(dir / "agent.sh", "#!/bin/sh\n" + script, true);
        auto mainQueue = std::make_shared<QtMainQueue>();
        const AgentConfig config{dir / "agent.sh",   dir.path(),       dir.path(),
                                 dir / "agent.json", dir / "spool.db", dir / "agent.pid",
                                 dir / "agent.log",  std::nullopt};
        agent = AgentProcess::create(config, mainQueue, background);
        if (!realKeepAwake) {
            realKeepAwake = std::make_unique<FakeKeepAwake>();
            keepAwake = static_cast<FakeKeepAwake*>(realKeepAwake.get());
        }
        auto login = makeLoginItem(dir / "VantrelAgent", autostartEntry());
        loginItem = login.get();
        menu = std::make_unique<StatusMenu>(StatusMenu::Parts{
            .agent = agent,
            .updater = Updater::create(
                updateMain, updateWorker,
                makeUpdateInstaller(
                    updateMain, [] {}, std::make_shared<RefusedRelease>(dir / "refused-update")),
                "http://127.0.0.1:9", dir.path()),
            .setup = std::make_unique<SetupWindow>(std::filesystem::path(VANTREL_BUNDLE_DIR) /
                                                   SetupWindow::kProgram),
            .diagnostics =
                std::make_unique<DiagnosticsWindow>(workspace, background, mainQueue, dir.path()),
            .networkWarning = std::make_unique<NetworkWarning>(
                background, mainQueue, [] { return LocalNetwork::Verdict::reachable; }),
            .keepAwake = std::move(realKeepAwake),
            .loginItem = std::move(login),
            .settings = settings,
            .alerts = alerts,
            .workspace = workspace,
            .notices = std::make_shared<Notices>([this] { return now; }),
            .build = std::move(build),
            .log = dir / "Logs/agent.log",  // not the script's: showing it must not create it
        });
    }

    std::filesystem::path autostartEntry() const { return dir / "autostart/vantrel-agent.desktop"; }

    TempDir dir;
    std::shared_ptr<BackgroundQueue> background = std::make_shared<BackgroundQueue>();
    std::shared_ptr<AgentProcess> agent;
    std::shared_ptr<ManualQueue> updateMain = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> updateWorker = std::make_shared<ManualQueue>();
    FakeKeepAwake* keepAwake = nullptr;
    LoginItem* loginItem;
    std::shared_ptr<QSettings> settings = std::make_shared<QSettings>(
        QString::fromStdString((dir / "settings.ini").string()), QSettings::IniFormat);
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    double now = 0;  // the notices' clock, in seconds
    std::unique_ptr<StatusMenu> menu;
    QAction* action(const std::string& title) const {
        auto all = menu->menuForTesting()->actions();
        auto found = std::ranges::find(all, QString::fromStdString(title), &QAction::text);
        return found == all.end() ? nullptr : *found;
    }
};

// A bus daemon of the test's own, which no other test sees, serving once `ready`. It ends with the
// test program, also where a suite keeps it to the end.
struct OwnBus {
    bool ready() const { return daemon.waitForOutput(address, 120); }
    TempDir dir;
    std::string address = "unix:path=" + (dir / "bus").string();
    RunningApp daemon{"/usr/bin/setpriv",
                      {"--pdeathsig", "KILL", "/usr/bin/dbus-daemon", "--session", "--nofork",
                       "--print-address=1", "--address=" + address},
                      currentEnvironment()};
};

inline const Build kTestBuild{"http://127.0.0.1:9"};

// Runs `act` inside the event loop until something quits it: its exit code, -1 when nothing did.
inline int runLoop(const std::function<void()>& act = [] {}) {
    QTimer::singleShot(0, act);
    QObject guard;  // only a hang ends here; the guard's timer ends with it
    QTimer::singleShot(30000, &guard, [] { QCoreApplication::exit(-1); });
    return QCoreApplication::exec();
}

}  // namespace vantrel::testing
