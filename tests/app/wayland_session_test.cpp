#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "bundle_app.h"
#include "menubar/stand_in_services.h"
#include "menubar/tray_test_kit.h"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;

// A headless Wayland session of the test's own: sway on a headless output without XWayland, a
// bar with a StatusNotifier host (swaybar) that starts when the test says, and a session bus that
// any user may join, so that the test serves stand-in desktop services on it. sway refuses to run
// as root: under root the session and the programs run in it get the uid kUser.
class SwaySession {
  public:
    static constexpr uid_t kUser = 65534;

    struct Window {
        std::string appId, shell;  // shell "xdg_shell" for a native Wayland window
        int pid = 0, width = 0;
        bool floating = false;
    };

    SwaySession() {
        fs::permissions(dir_.path(), fs::perms::all);
        ::mkdir(runtime().c_str(), 0700);
        writeFile(dir_ / "bus.conf", R"(<busconfig><type>session</type><listen>)" + busAddress() +
                                         R"(</listen><auth>EXTERNAL</auth><policy context="default">
<allow user="*"/><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>)");
        // The compositor starts no bar: the test starts it after the application.
        writeFile(
            dir_ / "sway.conf",
            "output HEADLESS-1 resolution 1280x800 scale 2\nxwayland disable\nbar {\n id main\n"
            " position top\n height 24\n tray_output *\n icon_theme hicolor\n"
            " swaybar_command true\n colors {\n background #202020\n }\n}\n");
        handOver(dir_.path());
        bus_ =
            run("/usr/bin/dbus-daemon",
                {"--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--print-address=1"},
                currentEnvironment());
        auto env = environment();
        setVariable(env, "WLR_BACKENDS", "headless");
        setVariable(env, "WLR_LIBINPUT_NO_DEVICES", "1");
        setVariable(env, "WLR_RENDERER", "pixman");
        setVariable(env, "HOME", dir_.path().string());
        sway_ = run("/usr/bin/sway", {"-c", (dir_ / "sway.conf").string()}, env);
    }
    ~SwaySession() {
        for (auto* process : {sway_.get(), bus_.get()}) {
            process->signal(SIGTERM);
            process->waitForExit(30);
        }
    }

    // The bus and the compositor serve; what they said otherwise.
    bool ready(std::string& why) const {
        const auto answers = [&] {
            return swaymsg({"-t", "get_version"}).find("sway") != std::string::npos;
        };
        bool up = bus_->waitForOutput("unix:path=", 30) &&
                  eventually([&] { return !(display_ = displayName()).empty(); }, 30) &&
                  eventually(answers, 30);
        why = bus_->output() + sway_->output();
        return up;
    }
    void startBar() { bar_ = run("/usr/bin/swaybar", {"-b", "main"}, environment()); }
    std::string busAddress() const { return "unix:path=" + (dir_ / "bus").string(); }
    fs::path runtime() const { return dir_ / "runtime"; }

    // `env` with the session's display and bus, and no X11.
    std::vector<std::string> environment(
        std::vector<std::string> env = currentEnvironment()) const {
        setVariable(env, "XDG_RUNTIME_DIR", runtime().string());
        setVariable(env, "WAYLAND_DISPLAY", display_);
        setVariable(env, "DBUS_SESSION_BUS_ADDRESS", busAddress());
        setVariable(env, "SWAYSOCK", (runtime() / "sway.sock").string());
        setVariable(env, "DISPLAY", "");
        setVariable(env, "QT_QPA_PLATFORM", "");
        return env;
    }

    // A program run in the session, as its user.
    static std::unique_ptr<RunningApp> run(const fs::path& program,
                                           std::vector<std::string> arguments,
                                           const std::vector<std::string>& env) {
        if (::geteuid() != 0) {
            return std::make_unique<RunningApp>(program, std::move(arguments), env);
        }
        const std::string id = std::to_string(kUser);
        arguments.insert(arguments.begin(), {"--reuid=" + id, "--regid=" + id, "--clear-groups",
                                             "--", program.string()});
        return std::make_unique<RunningApp>("/usr/bin/setpriv", std::move(arguments), env);
    }

    // Gives a folder made by the test to the session's user.
    static void handOver(const fs::path& folder) {
        if (::geteuid() == 0) {
            ::chown(folder.c_str(), kUser, kUser);
            for (const auto& entry : fs::recursive_directory_iterator(folder)) {
                ::lchown(entry.path().c_str(), kUser, kUser);
            }
        }
    }

    // What a program run in the session printed, once it ended.
    std::string output(const char* program, const std::vector<std::string>& arguments) const {
        auto run = SwaySession::run(program, arguments, environment());
        eventually([&] { return run->waitForExit(0).has_value(); }, 30);
        return run->output();
    }
    std::string swaymsg(const std::vector<std::string>& arguments) const {
        return output("/usr/bin/swaymsg", arguments);
    }

    // The windows of process `pid` in the compositor's tree.
    std::vector<Window> windowsOf(int pid) const {
        auto tree = nlohmann::json::parse(swaymsg({"-t", "get_tree", "-r"}), nullptr, false);
        const auto nodes = tree.is_object() ? tree.flatten() : nlohmann::json::object();
        std::vector<Window> found;
        for (const auto& [key, value] : nodes.items()) {
            if (const auto node = key.substr(0, key.size() - 4);
                key.ends_with("/pid") && value == pid) {
                found.push_back({nodes.value(node + "/app_id", ""),
                                 nodes.value(node + "/shell", ""), pid,
                                 nodes.value(node + "/rect/width", 0),
                                 node.find("floating_nodes") != std::string::npos});
            }
        }
        return found;
    }

  private:
    // The compositor's socket in the runtime folder, once it is there.
    std::string displayName() const {
        for (const auto& entry : fs::directory_iterator(runtime())) {
            if (entry.path().filename().string().starts_with("wayland-") && entry.is_socket()) {
                return entry.path().filename().string();
            }
        }
        return "";
    }

    TempDir dir_;
    mutable std::string display_;
    std::unique_ptr<RunningApp> bus_, sway_, bar_;
};

using Window = SwaySession::Window;
using ::testing::StartsWith;
using namespace std::string_literals;

// The desktop application in a headless Wayland session of its own, beside the stand-in portal
// (which grants keep-awake, so that the pictures show it on) and notification service that the
// test serves on the session's bus. Pictures go to the folder VANTREL_SCREENSHOTS names, if any.
class WaylandSessionTest : public ::testing::Test {
  protected:
    WaylandSessionTest() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the test itself shows nothing
        startGuiApplication();
        std::string why;
        EXPECT_TRUE(session.ready(why)) << why;
        observer = QDBusConnection::connectToBus(address, address);
        portal = std::make_unique<FakePortal>(session.busAddress());
        notifications = std::make_unique<FakeNotifications>(session.busAddress());
        EXPECT_TRUE(portal->run() && notifications->run());
    }
    ~WaylandSessionTest() override { QDBusConnection::disconnectFromBus(address); }

    // The bundle's application as the session's user, in its own home, keep-awake on, `knob` set.
    std::unique_ptr<RunningApp> launch(const std::string& knob = "VANTREL_SIM_INTERVAL=0.2") {
        writeFile(home / "config/Vantrel/Vantrel Agent.conf", "[General]\nKeepAwake=true\n");
        SwaySession::handOver(home.path());
        auto env = session.environment(sandboxedEnvironment(home.path()));
        setVariable(env, "VANTREL_SIM_INTERVAL", "0.2");
        env.push_back(knob);
        return session.run(kExecutable, {"--login-item"}, env);
    }

    // A call on the session's bus from the test; its reply's first value once it came.
    QVariant call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
        auto message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        const auto answer =
            observer.call(message, QDBus::BlockWithGui);  // the fakes serve meanwhile
        const auto reply =
            answer.type() == QDBusMessage::ReplyMessage ? answer.arguments().value(0) : QVariant();
        return reply.canConvert<QDBusVariant>() ? reply.value<QDBusVariant>().variant() : reply;
    }
    QStringList trayItems() {
        return call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                    "org.freedesktop.DBus.Properties", "Get",
                    {"org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"})
            .toStringList();
    }
    // The bar's only item, as its service and path, once it is there.
    std::pair<QString, QString> trayItem() {
        QStringList items;
        waitFor([&] { return (items = trayItems()).size() == 1; }, kGuard);
        const QString item = items.value(0);
        return {item.section('/', 0, 0), item.mid(item.indexOf('/'))};
    }
    QVariant property(const std::pair<QString, QString>& item, const char* name) {
        return call(item.first, item.second, "org.freedesktop.DBus.Properties", "Get",
                    {"org.kde.StatusNotifierItem", name});
    }
    bool iconBecomes(const std::pair<QString, QString>& item, const char* name) {
        return waitFor([&] { return property(item, "IconName") == name; }, kGuard);
    }
    // The region "x,y wxh" of the output (all of it by default) as picture `name`.
    void picture(const std::string& name, const std::string& region = "0,0 640x400") const {
        if (const char* folder = std::getenv("VANTREL_SCREENSHOTS")) {
            const auto shot = session.runtime() / name;  // where the session's user may write
            session.output("/usr/bin/grim", {"-g", region, shot.string()});
            EXPECT_NO_THROW(
                fs::copy_file(shot, fs::path(folder) / name, fs::copy_options::overwrite_existing))
                << "expected the picture " << name;
        }
    }

    SwaySession session;
    const QString address = QString::fromStdString(session.busAddress());
    QDBusConnection observer{QString()};
    std::unique_ptr<FakePortal> portal;
    std::unique_ptr<FakeNotifications> notifications;
    TempDir home;
};

// Without XWayland the application runs natively. Until a bar runs, its status window is a small
// fixed-size window that the tiling compositor floats, named for the menu entry; a bar started
// later takes the icon, the window gives way, and the bar's activation and context menu request
// bring it back. A start while a bar runs opens no window at all.
TEST_F(WaylandSessionTest, TheIconGoesToABarStartedAfterTheApplicationOrBeforeIt) {
    auto app = launch("VANTREL_SIM_EXIT=1");  // an agent that keeps stopping
    const auto statusWindow = [&] {
        auto windows = session.windowsOf(app->pid());
        return windows.size() == 1 ? windows.front() : Window{};
    };
    ASSERT_TRUE(eventually([&] { return statusWindow().pid != 0; }, kGuard))
        << "expected the status window before any bar\n"
        << app->output();
    const Window shown = statusWindow();
    EXPECT_EQ(std::tuple(shown.appId, shown.shell, shown.floating, shown.width < 500),
              std::tuple("vantrel-agent"s, "xdg_shell"s, true, true))
        << "expected a native Wayland window, floating and under 500 wide";
    picture("wayland-status-window.png");

    session.startBar();
    const auto item = trayItem();
    ASSERT_FALSE(item.first.isEmpty()) << "expected one item in the bar\n" << app->output();
    EXPECT_TRUE(eventually([&] { return statusWindow().pid == 0; }, kGuard))
        << "expected the status window to give way to the bar";
    for (const char* method : {"Activate", "ContextMenu"}) {
        SCOPED_TRACE(method);
        session.swaymsg({"[app_id=vantrel-agent]", "kill"});  // closing only hides it
        EXPECT_TRUE(eventually([&] { return statusWindow().pid == 0; }, kGuard));
        call(item.first, item.second, "org.kde.StatusNotifierItem", method, {0, 0});
        EXPECT_TRUE(eventually([&] { return statusWindow().floating; }, kGuard))
            << "expected the status window shown, floating";
    }
    EXPECT_EQ(property(item, "Menu").value<QDBusObjectPath>().path(), "/MenuBar")
        << "expected the menu exported for bars that draw menus";

    EXPECT_TRUE(waitFor([&] { return !notifications->shown.empty(); }, kGuard)) << app->output();
    EXPECT_THAT(notifications->shown,
                ::testing::ElementsAre(StartsWith("Vantrel Agent keeps stopping|The agent stopped "
                                                  "again and is being restarted.")));
    EXPECT_THAT(notifications->shown.front(),
                ::testing::EndsWith("|Vantrel Agent|vantrel-agent|vantrel-agent"));
    EXPECT_TRUE(iconBecomes(item, "vantrel-agent-stopped-symbolic")) << "between its relaunches";
    picture("tray-dark-panel.png", "580,0 60x24");
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();

    ASSERT_TRUE(waitFor([&] { return trayItems().isEmpty(); }, kGuard))
        << "expected the ended application's item gone from the bar";
    session.swaymsg({"bar", "main", "colors", "background", "#f2f2f2"});  // a light panel's picture
    app = launch();
    const auto next = trayItem();
    ASSERT_FALSE(next.first.isEmpty()) << "expected the next start's item in the running bar\n"
                                       << app->output();
    EXPECT_TRUE(iconBecomes(next, "vantrel-agent-waiting-symbolic"));
    EXPECT_TRUE(session.windowsOf(app->pid()).empty()) << "expected no window while a bar runs";
    picture("tray-light-panel.png", "580,0 60x24");
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

}  // namespace
}  // namespace vantrel::testing
