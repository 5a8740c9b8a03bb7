#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <gmock/gmock.h>

#include <cstdlib>

#include "bundle_app.h"
#include "menubar/stand_in_services.h"
#include "menubar/tray_test_kit.h"
#include "sway_session.h"

namespace vantrel::testing {
namespace {

using ::testing::Contains;
using ::testing::Field;
using ::testing::Not;
using Window = SwaySession::Window;

const std::string kReason = "Vantrel Agent is reading your solar";

// The desktop application in a headless Wayland session of its own, beside the stand-in portal
// and notification service that the test serves on the session's bus. Pictures go to the folder
// VANTREL_SCREENSHOTS names, when it does.
class WaylandSessionTest : public ::testing::Test {
  protected:
    explicit WaylandSessionTest(const std::string& panel = "#202020") : session(panel) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the test itself shows nothing
        startGuiApplication();
        std::string why;
        EXPECT_TRUE(session.ready(why)) << why;
        observer = QDBusConnection::connectToBus(QString::fromStdString(session.busAddress()),
                                                 QString::fromStdString(session.folder()));
        portal = std::make_unique<FakePortal>(session.busAddress());
        notifications = std::make_unique<FakeNotifications>(session.busAddress());
        EXPECT_TRUE(portal->run() && notifications->run());
    }
    ~WaylandSessionTest() override {
        QDBusConnection::disconnectFromBus(QString::fromStdString(session.folder()));
    }

    // The bundle's application as the session's user, in a home of its own with keep-awake on.
    std::unique_ptr<RunningApp> launch(const std::vector<std::string>& knobs = {}) {
        writeFile(home / "config/Vantrel/Vantrel Agent.conf", "[General]\nKeepAwake=true\n");
        SwaySession::handOver(home.path());
        auto env = session.environment(knobs);
        for (const auto& variable : sandboxedEnvironment(home.path())) {
            auto split = variable.find('=');
            auto name = variable.substr(0, split);
            if ((name.starts_with("XDG_") && name != "XDG_RUNTIME_DIR") || name == "HOME" ||
                name == "VANTREL_SIM_PORT") {
                setVariable(env, name, variable.substr(split + 1));
            }
        }
        setVariable(env, "VANTREL_SIM_INTERVAL", "0.2");
        return session.run(kExecutable, {"--login-item"}, env);
    }

    // A call on the session's bus from the test; its reply once it came.
    QDBusMessage call(const std::string& service, const std::string& path,
                      const std::string& interface, const std::string& method,
                      const QVariantList& arguments = {}) {
        auto message = QDBusMessage::createMethodCall(
            QString::fromStdString(service), QString::fromStdString(path),
            QString::fromStdString(interface), QString::fromStdString(method));
        message.setArguments(arguments);
        QDBusPendingCallWatcher pending(observer.asyncCall(message));
        waitFor([&] { return pending.isFinished(); }, kGuard);
        return pending.reply();
    }
    QVariant property(const std::string& service, const std::string& path,
                      const std::string& interface, const std::string& name) {
        auto reply = call(service, path, "org.freedesktop.DBus.Properties", "Get",
                          {QString::fromStdString(interface), QString::fromStdString(name)});
        return reply.arguments().isEmpty() ? QVariant()
                                           : reply.arguments()[0].value<QDBusVariant>().variant();
    }
    // The bar's items, as "service/path".
    QStringList trayItems() {
        return property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                        "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")
            .toStringList();
    }
    // The application's windows in the compositor's tree.
    std::vector<Window> windowsOf(pid_t pid) const {
        auto all = session.windows();
        std::erase_if(all, [pid](const Window& window) { return window.pid != pid; });
        return all;
    }
    void picture(const std::string& name, const std::string& region = "") const {
        if (const char* folder = std::getenv("VANTREL_SCREENSHOTS")) {
            EXPECT_TRUE(session.screenshot(std::filesystem::path(folder) / name, region)) << name;
        }
    }

    SwaySession session;
    QDBusConnection observer{QString()};
    std::unique_ptr<FakePortal> portal;
    std::unique_ptr<FakeNotifications> notifications;
    TempDir home;
};

// Without XWayland the application runs natively; until a tray host runs, its status window is a
// small fixed-size window that the tiling compositor floats, named for the menu entry. A bar
// started later takes the icon and the window gives way; the bar's activation and its context
// menu request bring it back. The portal holds the computer awake, and an agent that keeps
// stopping raises one notice at its third relaunch in a row.
TEST_F(WaylandSessionTest, ABarStartedLaterTakesTheIconAndActivationShowsTheStatusWindow) {
    auto app = launch({"VANTREL_SIM_EXIT=1"});
    const auto statusWindow = [&] {
        auto windows = windowsOf(app->pid());
        return windows.size() == 1 ? windows.front() : Window{};
    };
    ASSERT_TRUE(eventually([&] { return statusWindow().pid != 0; }, kGuard)) << app->output();
    const Window shown = statusWindow();
    EXPECT_EQ(shown.appId, "vantrel-agent");
    EXPECT_EQ(shown.shell, "xdg_shell") << "a native Wayland window";
    EXPECT_TRUE(shown.floating);
    EXPECT_LT(shown.width, 500);
    EXPECT_TRUE(waitFor([&] { return portal->open.size() == 1; }, kGuard)) << app->output();
    EXPECT_EQ(portal->requests, std::vector<std::string>{"|4|" + kReason});
    picture("wayland-status-window.png");

    session.startBar();
    ASSERT_TRUE(waitFor([&] { return trayItems().size() == 1; }, kGuard)) << app->output();
    EXPECT_TRUE(eventually([&] { return statusWindow().pid == 0; }, kGuard))
        << "the status window gives way";
    const auto item = trayItems().front().toStdString();
    const auto service = item.substr(0, item.find('/'));
    const auto path = item.substr(item.find('/'));
    for (const char* method : {"Activate", "ContextMenu"}) {
        SCOPED_TRACE(method);
        session.swaymsg({"[app_id=vantrel-agent]", "kill"});  // closing only hides it
        EXPECT_TRUE(eventually([&] { return statusWindow().pid == 0; }, kGuard));
        call(service, path, "org.kde.StatusNotifierItem", method, {0, 0});
        EXPECT_TRUE(eventually([&] { return statusWindow().floating; }, kGuard));
    }

    EXPECT_TRUE(waitFor([&] { return !notifications->shown.empty(); }, kGuard)) << app->output();
    EXPECT_THAT(
        notifications->shown,
        ::testing::ElementsAre(::testing::StartsWith(
            "Vantrel Agent keeps stopping|The agent stopped again and is being restarted.")));
    EXPECT_THAT(notifications->shown.front(),
                ::testing::EndsWith("|Vantrel Agent|vantrel-agent|vantrel-agent"));
    EXPECT_TRUE(waitFor(
        [&] {
            return property(service, path, "org.kde.StatusNotifierItem", "IconName").toString() ==
                   "vantrel-agent-stopped-symbolic";
        },
        kGuard))
        << "between its relaunches";
    picture("tray-dark-panel.png", "580,0 60x24");
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

class LightPanelSessionTest : public WaylandSessionTest {
  protected:
    LightPanelSessionTest() : WaylandSessionTest("#f2f2f2") {}
};

// A bar that runs before the start takes the icon at once: no status window opens. The icon's
// name and tooltip tell the agent's state.
TEST_F(LightPanelSessionTest, ABarRunningBeforeTheStartTakesTheIconAndNoWindowOpens) {
    session.startBar();
    ASSERT_TRUE(waitFor(
        [&] {
            return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameHasOwner", {"org.kde.StatusNotifierWatcher"})
                .arguments()
                .value(0)
                .toBool();
        },
        kGuard));
    auto app = launch();
    ASSERT_TRUE(waitFor([&] { return trayItems().size() == 1; }, kGuard)) << app->output();
    const auto item = trayItems().front().toStdString();
    const auto service = item.substr(0, item.find('/'));
    const auto path = item.substr(item.find('/'));
    EXPECT_TRUE(waitFor(
        [&] {
            return property(service, path, "org.kde.StatusNotifierItem", "IconName").toString() ==
                   "vantrel-agent-waiting-symbolic";
        },
        kGuard));
    EXPECT_TRUE(windowsOf(app->pid()).empty());
    picture("tray-light-panel.png", "580,0 60x24");
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

}  // namespace
}  // namespace vantrel::testing
