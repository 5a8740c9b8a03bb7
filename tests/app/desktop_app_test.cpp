#include <string.h>

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWindow>
#include <QtTest/QTest>

#include <gmock/gmock.h>

#include <regex>

#include "app/headless_app.h"
#include "bundle_app.h"
#include "menubar/tray_test_kit.h"
#include "support/qt_window.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Value;
using namespace std::string_literals;

// An X server of the test's own: no other test's tray icon docks there, and a test may end it.
struct OwnDisplay {
    // ":N", or empty when the server did not start; warnings may come before the number.
    std::string name() const {
        std::smatch number;
        eventually([&] { return std::regex_search(output = server.output(), number, line); });
        return number.empty() ? "" : ":" + number[2].str();
    }
    void end() { server.signal(SIGTERM), server.waitForExit(kGuard); }

    const std::regex line{"(^|\n)([0-9]+)\n"};
    mutable std::string output;
    // Without -noreset the server resets when its last client goes, refusing connections a while.
    RunningApp server{
        "/usr/bin/Xvfb",
        {"-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24"},
        currentEnvironment()};
};

// Clicks as a person would, at a point of the screen.
void click(QPoint at) {
    const auto where = std::to_string(at.x()) + " " + std::to_string(at.y());
    EXPECT_EQ(std::system(("xdotool mousemove --sync " + where + " click 1").c_str()), 0)
        << "expected a click at " << where;
}

// Without a session bus the icon docks the XEmbed way in a tray (trayer) that comes later, in place
// of the status window, which the tray's end brings back. A click opens the menu: its first line
// and the tooltip follow the agent, its rows and keys work. A production build checks on its own.
TEST(TrayHostTest, ATrayThatAppearsTakesOverAndItsMenuFollowsTheAgent) {
    OwnDisplay display;  // the toolkit's connection to it is not used after the test
    ASSERT_FALSE(display.name().empty()) << display.output;
    ::setenv("DISPLAY", display.name().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    startGuiApplication();
    MenuUnderTest tray(
        Build{},
        "echo 'pv=2.5kW grid=-1.234kW'\nwhile [ ! -e \"${0%/*}/crash\" ]; do sleep 0.05; done\n"
        "exit 3\n");
    tray.menu->start();
    StatusWindow& window = tray.menu->statusWindow();
    EXPECT_TRUE(window.isOpen()) << "expected the status window before a tray";
    RunningApp trayer("/usr/bin/trayer", {"--edge", "top", "--align", "left"},
                      currentEnvironment());
    QSystemTrayIcon* icon = tray.menu->trayForTesting().icon();
    // The docked icon takes clicks once the server shows it in the tray, after its geometry is
    // known.
    const auto shown = [&] {
        return !icon->geometry().isEmpty() &&
               std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget* w) {
                   return w->inherits("QSystemTrayIconSys") && w->windowHandle()->isExposed();
               });
    };
    ASSERT_TRUE(waitFor(shown, 60)) << trayer.output();
    EXPECT_FALSE(window.isOpen() || hasVisibleWindows()) << "expected no window once docked";
    // The status window's focus leaves a moment after it, and the application's deactivation then
    // closes every open menu: the click waits for it.
    ASSERT_TRUE(waitFor([] { return qApp->applicationState() != Qt::ApplicationActive; }))
        << "expected the application inactive without a window";
    click(icon->geometry().center());
    QMenu* menu = tray.menu->menuForTesting();
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, kGuard)) << "expected the menu open";
    QAction* line = menu->actions().front();
    EXPECT_TRUE(waitFor([&] { return line->text() == "Solar 2.5 kW \u00B7 exporting 1.23 kW"; }))
        << "expected the reading on the first line, got " << line->text().toStdString();
    EXPECT_EQ(icon->toolTip(), line->text());
    writeFile(tray.dir / "crash", "");
    EXPECT_TRUE(waitFor([&] { return line->text() == "Stopped \u2014 exited 3"; }))
        << "expected the crash on the first line, got " << line->text().toStdString();
    click(menu->mapToGlobal(menu->actionGeometry(tray.action("Show log")).center()));
    EXPECT_TRUE(waitFor([&] { return tray.workspace->revealed.size() == 1; }, 10))
        << "expected the row clicked to reveal the log";
    menu->popup(QPoint(10, 10));
    QTest::keyClick(menu, Qt::Key_O, Qt::ControlModifier);
    EXPECT_TRUE(tray.menu->setupForTesting()->isOpen() && !menu->isVisible()) << "its key";
    EXPECT_EQ(tray.updateMain->nextDelay(), 3.0) << "expected the production build's own check";
    trayer.signal(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return window.isOpen(); }, kGuard)) << "expected it back, no tray";
    tray.menu->stop();
}

// The bundle's executable as a desktop application on a display of its own.
class DesktopAppTest : public BundleAppTest {
  protected:
    DesktopAppTest() {
        setVariable(env, "DISPLAY", display.name());
        setVariable(env, "QT_QPA_PLATFORM", "xcb");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    OwnDisplay display;
};

// Every signal that ends the application, and at last the end of its display (signal 0, with
// whatever status), stops the agent.
TEST_F(DesktopAppTest, EverySignalThatEndsTheApplicationStopsTheAgent) {
    ASSERT_FALSE(display.name().empty()) << display.output;
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
        EXPECT_TRUE(processEnds(agent)) << "expected the agent ended";
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
    EXPECT_THAT(app->output(), HasSubstr("the desktop cannot start ("));
    EXPECT_THAT(app->output(), HasSubstr("); running headless\n"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

// A second start hands over to the running one (which took over a dead instance's socket): its
// setup window opens; one at login or a headless one changes nothing. An application killed leaves
// an agent that ignores SIGTERM behind, and the next start, by the user, ends it and opens its own.
TEST_F(DesktopAppTest, ASecondStartHandsOverAndTheNextStartEndsAnAgentLeftRunning) {
    // Serves the fixed agent port, where the setup window loads its page, and logs each request.
    PythonServer page({}, 8787,
                      "import http.server as h, os\nh.HTTPServer(('127.0.0.1', int(os.environ["
                      "'VANTREL_SIM_PORT'])), h.SimpleHTTPRequestHandler).serve_forever()\n");
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    const auto pages = [&] {  // the setup windows' loads so far
        return std::ranges::distance(page.output() | std::views::split("GET /"s)) - 1;
    };
    setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
    writeFile(home / "vantrel-agent.sock", "left by an instance that died");
    auto first = launch({"--login-item"});
    ASSERT_TRUE(eventually([&] { return Value(agentLog(), HasSubstr("Waiting to be paired")); }))
        << first->output();
    for (int request = 0; request < 2; ++request) {
        EXPECT_EQ(launch({})->waitForExit(kGuard), 0) << "a second start, handing over";
    }
    EXPECT_TRUE(eventually([&] { return pages() > 0; }, kGuard)) << "expected its setup window";
    EXPECT_EQ(launch({"--login-item"})->waitForExit(kGuard), 0) << "a second start at login";
    auto headless = launch({"--headless"});
    EXPECT_EQ(headless->waitForExit(kGuard), kExitAlreadyRunning);
    EXPECT_THAT(headless->output(), HasSubstr("already running"));
    EXPECT_FALSE(first->waitForExit(0)) << "the first one runs on";
    pid_t orphan = waitForAgent();
    first->signal(SIGKILL);
    EXPECT_EQ(first->waitForExit(kGuard), SIGKILL);
    EXPECT_FALSE(processEnds(orphan, 0)) << "the agent, ignoring the SIGTERM of its parent's end, "
                                            "outlives the killed application";
    const auto loads = pages();
    auto next = launch({});
    EXPECT_TRUE(processEnds(orphan)) << "expected the next start to end the agent left running";
    EXPECT_TRUE(eventually([&] { return pages() > loads; }, kGuard))
        << "expected its setup window to load the page: " << next->output();
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
