#include <string.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QThread>
#include <QWindow>

#include <gmock/gmock.h>

#include <mutex>
#include <regex>

#include "app/headless_app.h"
#include "bundle_app.h"
#include "menubar/tray_test_kit.h"
#include "support/qt_window.h"

namespace vantrel::testing {
namespace {

// An X server of the test's own: no other test's tray icon docks there, and a test may end it.
class OwnDisplay {
  public:
    // ":N", or empty when the server did not start.
    std::string name() const {
        std::smatch number;
        const std::regex line("(^|\n)([0-9]+)\n");  // warnings may come first
        std::string output;
        eventually([&] { return std::regex_search(output = server_.output(), number, line); });
        return number.empty() ? "" : std::string(":").append(number[2].str());
    }
    void end() {
        server_.signal(SIGTERM);
        server_.waitForExit(kGuard);
    }

  private:
    RunningApp server_{"/usr/bin/Xvfb",
                       {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
                       currentEnvironment()};
};

// Clicks as a person would, at a point of the screen.
void click(QPoint at) {
    RunningApp xdotool(
        "/usr/bin/xdotool",
        {"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y()), "click", "1"},
        currentEnvironment());
    std::optional<int> status;
    waitFor([&] { return (status = xdotool.waitForExit(0)).has_value(); }, 10);
    EXPECT_EQ(status, 0) << xdotool.output();
}

// Once the menu is open, clicks "Show log" in it: the row runs and the menu closes.
void clickShowLog(MenuUnderTest& tray) {
    QMenu* menu = tray.menu->menuForTesting();
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, kGuard));
    click(menu->mapToGlobal(menu->actionGeometry(tray.action("Show log")).center()));
    EXPECT_TRUE(waitFor([&] { return tray.workspace->revealed.size() == 1; }, 10));
    EXPECT_FALSE(menu->isVisible());
    tray.menu->stop();
}

// A StatusNotifier panel's watcher, answering on a connection and thread of its own as a panel.
class Watcher final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    // What the toolkit asks before it takes the D-Bus way.
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

  public:
    bool isHostRegistered() const { return true; }
    // The service and path of the last item registered.
    std::pair<std::string, std::string> item() {
        std::lock_guard hold(lock_);
        return item_;
    }

  public slots:
    // An item names its service, or only its path and is then known by the sender's name.
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        std::lock_guard hold(lock_);
        item_ = serviceOrPath.startsWith('/')
                    ? std::pair(message().service().toStdString(), serviceOrPath.toStdString())
                    : std::pair(serviceOrPath.toStdString(), std::string("/StatusNotifierItem"));
    }

  private:
    std::mutex lock_;
    std::pair<std::string, std::string> item_;
};

// Each tray host runs on an X server of the test program's own, reached the X11 way. Each test
// runs in a program of its own: the toolkit chooses its way to the tray once.
class TrayHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        display = new OwnDisplay;
        ASSERT_FALSE(display->name().empty());
        ::setenv("DISPLAY", display->name().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    // The server must not outlive the program; nothing draws on it after the last test.
    static void TearDownTestSuite() { delete display; }
    static inline OwnDisplay* display = nullptr;
};

// Without a session bus the icon docks the XEmbed way in a tray (trayer) that comes later: the
// status window shows until then. A click opens the menu, and the docked icon is no window.
TEST_F(TrayHostTest, ATrayThatAppearsTakesOverAndAClickOpensTheMenu) {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    startGuiApplication();
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    EXPECT_TRUE(tray.menu->statusWindow().isOpen());
    RunningApp trayer(
        "/usr/bin/trayer",
        {"--edge", "top", "--align", "left", "--widthtype", "request", "--height", "32"},
        currentEnvironment());
    QSystemTrayIcon* icon = tray.menu->trayForTesting().icon();
    // The docked icon's own window takes clicks only once the server shows it in the tray; a known
    // geometry comes earlier.
    const auto shown = [&] {
        auto all = QApplication::topLevelWidgets();
        auto docked =
            std::ranges::find_if(all, [](auto* w) { return w->inherits("QSystemTrayIconSys"); });
        return docked != all.end() && (*docked)->windowHandle() &&
               (*docked)->windowHandle()->isExposed() && !icon->geometry().isEmpty();
    };
    ASSERT_TRUE(waitFor(shown, 60)) << trayer.output();
    EXPECT_TRUE(waitFor([&] { return !tray.menu->statusWindow().isOpen(); }, 5));
    EXPECT_FALSE(hasVisibleWindows());
    click(icon->geometry().center());
    clickShowLog(tray);
}

// What a D-Bus call made by another process printed, once it has ended.
std::string dbusSend(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--session", "--print-reply"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    RunningApp call("/usr/bin/dbus-send", all, currentEnvironment());
    waitFor([&] { return call.waitForExit(0).has_value(); }, kGuard);
    return call.output();
}

// A StatusNotifier panel on a session bus of the test's own: the icon registers with its watcher,
// no status window shows, and the menu's rows are exported for panels that draw menus. The
// panel's activation (a left click there) and its context menu request, sent from another
// process, show the status window, whose rows work.
TEST_F(TrayHostTest, UnderAStatusNotifierPanelActivationShowsTheStatusWindow) {
    OwnBus bus;
    ASSERT_TRUE(bus.ready()) << bus.daemon.output();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
    startGuiApplication();
    Watcher watcher;
    struct Panel : QThread {
        ~Panel() override { quit(), wait(); }
    } panel;
    watcher.moveToThread(&panel);
    panel.start();
    auto panelBus = QDBusConnection::connectToBus(QString::fromStdString(bus.address), "panel");
    ASSERT_TRUE(panelBus.registerObject("/StatusNotifierWatcher", &watcher,
                                        QDBusConnection::ExportAllContents) &&
                panelBus.registerService("org.kde.StatusNotifierWatcher"))
        << panelBus.lastError().message().toStdString();
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    ASSERT_TRUE(waitFor([&] { return !watcher.item().first.empty(); }, kGuard));
    const auto [service, path] = watcher.item();
    EXPECT_FALSE(tray.menu->statusWindow().isOpen());
    EXPECT_FALSE(hasVisibleWindows());
    std::smatch menuPath;
    const std::string menuProperty =
        dbusSend({"--dest=" + service, path, "org.freedesktop.DBus.Properties.Get",
                  "string:org.kde.StatusNotifierItem", "string:Menu"});
    ASSERT_TRUE(std::regex_search(menuProperty, menuPath, std::regex("object path \"([^\"]+)\"")))
        << menuProperty;
    EXPECT_THAT(
        dbusSend({"--dest=" + service, menuPath[1].str(), "com.canonical.dbusmenu.GetLayout",
                  "int32:0", "int32:-1", "array:string:"}),
        ::testing::AllOf(::testing::HasSubstr("string \"Show log\""),
                         ::testing::HasSubstr("string \"Quit Vantrel Agent\"")));
    for (const std::string method : {"Activate", "ContextMenu"}) {
        SCOPED_TRACE(method);
        tray.menu->statusWindow().hide();
        RunningApp call("/usr/bin/dbus-send",
                        {"--session", "--print-reply", "--dest=" + service, path,
                         "org.kde.StatusNotifierItem." + method, "int32:100", "int32:100"},
                        currentEnvironment());
        EXPECT_TRUE(waitFor([&] { return tray.menu->statusWindow().isOpen(); }, kGuard));
        EXPECT_FALSE(tray.menu->menuForTesting()->isVisible());
    }
    auto buttons = tray.menu->statusWindow().window()->findChildren<QAbstractButton*>();
    auto showLog = std::ranges::find(buttons, QString("Show log"), &QAbstractButton::text);
    ASSERT_NE(showLog, buttons.end());
    (*showLog)->click();
    EXPECT_EQ(tray.workspace->revealed.size(), 1u);
    tray.menu->stop();
}

// The bundle's executable as a desktop application on a display of its own.
class DesktopEndingTest : public BundleAppTest {
  protected:
    DesktopEndingTest() {
        setVariable(env, "DISPLAY", display.name());
        setVariable(env, "QT_QPA_PLATFORM", "xcb");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    OwnDisplay display;
};
using TrayProcessTest = DesktopEndingTest;

// Every signal that ends the application, and at last the end of its display, stops the agent.
TEST_F(DesktopEndingTest, EverySignalThatEndsTheApplicationStopsTheAgent) {
    ASSERT_FALSE(display.name().empty());
    // Signal 0: the display ends, with whatever status.
    const std::pair<int, std::optional<int>> cases[] = {
        {SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}, {0, std::nullopt}};
    for (const auto& [signal, expected] : cases) {
        SCOPED_TRACE(signal ? strsignal(signal) : "display");
        std::filesystem::remove(pidFile());
        auto app = launch({"--login-item"});
        pid_t agent = waitForAgent();
        ASSERT_NE(agent, 0) << app->output();
        signal ? app->signal(signal) : display.end();
        auto status = app->waitForExit(kGuard);
        EXPECT_TRUE(expected ? status == expected : status.has_value()) << app->output();
        EXPECT_TRUE(processEnds(agent));
    }
}

using DesktopFallbackTest = BundleAppTest;

// Where no platform opens a display (an X display nobody serves, a Wayland socket that is not
// there) the start says why on standard error and supervises the agent headless, printing its
// state lines, until a signal ends it.
TEST_F(DesktopFallbackTest, WhereNoDisplayOpensTheStartSaysWhyAndRunsHeadless) {
    setVariable(env, "DISPLAY", ":" + std::to_string(::getpid() % 1000 + 5000));
    setVariable(env, "WAYLAND_DISPLAY", "no-such-compositor");
    setVariable(env, "QT_QPA_PLATFORM", "");
    auto app = launch({});
    ASSERT_TRUE(app->waitForOutput("Waiting to be paired", kGuard)) << app->output();
    EXPECT_THAT(app->output(), ::testing::HasSubstr("the desktop cannot start ("));
    EXPECT_THAT(app->output(), ::testing::HasSubstr("); running headless\n"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

// Serves the fixed agent port, where the setup window loads its page, and logs each request.
const char* const kPageServer =
    "import http.server, os\n"
    "http.server.HTTPServer(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])),\n"
    "                       http.server.SimpleHTTPRequestHandler).serve_forever()\n";

// A second start hands over to the running one (which took over a dead instance's socket): its
// setup window opens; one at login or a headless one changes nothing. An application killed leaves
// an agent that ignores SIGTERM behind, and the next start, by the user, ends it and opens its own.
TEST_F(TrayProcessTest, ASecondStartHandsOverAndTheNextStartEndsAnAgentLeftRunning) {
    PythonServer page({}, 8787, kPageServer);
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    const std::regex load("GET /");
    const auto pages = [&] {  // the setup windows' loads so far
        const std::string log = page.output();
        return std::distance(std::sregex_iterator(log.begin(), log.end(), load), {});
    };
    setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
    writeFile(home / "vantrel-agent.sock", "left by an instance that died");
    auto first = launch({"--login-item"});
    ASSERT_TRUE(eventually([&] {
        return readFile(home / "state/Logs/Vantrel/agent.log").find("Waiting to be paired") !=
               std::string::npos;
    })) << first->output();
    for (int request = 0; request < 2; ++request) {
        auto second = launch({});
        EXPECT_EQ(second->waitForExit(kGuard), 0) << second->output();
    }
    EXPECT_TRUE(eventually([&] { return pages() > 0; }, kGuard)) << first->output();
    EXPECT_EQ(launch({"--login-item"})->waitForExit(kGuard), 0);
    auto headless = launch({"--headless"});
    EXPECT_EQ(headless->waitForExit(kGuard), kExitAlreadyRunning);
    EXPECT_THAT(headless->output(), ::testing::HasSubstr("already running"));
    EXPECT_FALSE(first->waitForExit(0)) << "the first one runs on";
    pid_t orphan = waitForAgent();
    first->signal(SIGKILL);
    EXPECT_EQ(first->waitForExit(kGuard), SIGKILL);
    EXPECT_EQ(::kill(orphan, 0), 0) << "the agent, ignoring the SIGTERM of its parent's end, "
                                       "outlives the killed application";
    const auto loads = pages();
    auto next = launch({});
    EXPECT_TRUE(processEnds(orphan));
    EXPECT_TRUE(eventually([&] { return pages() > loads; }, kGuard)) << "its setup window opens";
    EXPECT_TRUE(eventually([&] { return agentPid().value_or(orphan) != orphan; }));
    auto current = agentPid();
    next->signal(SIGTERM);
    EXPECT_EQ(next->waitForExit(kGuard), 0);
    if (current) {
        ::kill(*current, SIGKILL);  // it ignores SIGTERM too
    }
}

}  // namespace
}  // namespace vantrel::testing

#include "desktop_app_test.moc"
