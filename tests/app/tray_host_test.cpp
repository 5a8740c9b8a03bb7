#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWindow>

#include <cstdlib>
#include <regex>

#include "bundle_app.h"
#include "menubar/tray_test_kit.h"
#include "support/qt_window.h"

namespace vantrel::testing {
namespace {

// Clicks as a person would, at a point of the screen.
void click(QPoint point) {
    RunningApp xdotool(
        "/usr/bin/xdotool",
        {"mousemove", "--sync", std::to_string(point.x()), std::to_string(point.y()), "click", "1"},
        currentEnvironment());
    std::optional<int> status;
    waitFor([&] { return (status = xdotool.waitForExit(0)).has_value(); }, 10);
    EXPECT_EQ(status, 0) << xdotool.output();
}

// The docked icon's own window takes clicks only once the server shows it in the tray; a known
// geometry comes earlier.
bool iconIsShown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits("QSystemTrayIconSys")) {
            return widget->windowHandle() && widget->windowHandle()->isExposed();
        }
    }
    return false;
}

// Clicks "Show log" in the open menu as a person would: the row runs and the menu closes.
void clickShowLog(MenuUnderTest& tray) {
    QMenu* menu = tray.menu->menuForTesting();
    click(menu->mapToGlobal(menu->actionGeometry(tray.action("Show log")).center()));
    EXPECT_TRUE(waitFor([&] { return tray.workspace->revealed.size() == 1; }, 10));
    EXPECT_FALSE(menu->isVisible());
}

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

// Without a session bus the icon docks the XEmbed way, in a tray (trayer) that the application
// starts before: its status window shows until the tray takes the icon. A click on the icon opens
// the menu, a click on a row runs its command, and the docked icon never counts as a window.
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
    ASSERT_TRUE(waitFor([&] { return !icon->geometry().isEmpty() && iconIsShown(); }, 60))
        << trayer.output();
    EXPECT_TRUE(waitFor([&] { return !tray.menu->statusWindow().isOpen(); }, 5));
    EXPECT_FALSE(hasVisibleWindows());
    click(icon->geometry().center());
    ASSERT_TRUE(waitFor([&] { return tray.menu->menuForTesting()->isVisible(); }, 10));
    clickShowLog(tray);
    tray.menu->stop();
}

// A StatusNotifier panel: a watcher on a session bus of the test's own (no other test sees this
// tray), started before the application so that its icon takes the D-Bus way. The icon registers
// with the watcher and no status window shows; the panel's activation (a left click there), sent
// from another process, opens the menu, and a row works.
TEST_F(TrayHostTest, UnderAStatusNotifierPanelAnActivationOverDBusOpensTheMenu) {
    RunningApp bus("/usr/bin/dbus-daemon",
                   {"--session", "--nofork", "--nopidfile", "--print-address=1"},
                   currentEnvironment());
    std::smatch address, item;
    const std::regex addressLine("(^|\n)(unix:[^\n]*)\n");  // warnings may come first
    std::string output;
    ASSERT_TRUE(eventually(
        [&] { return std::regex_search(output = bus.output(), address, addressLine); }, kGuard))
        << output;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address[2].str().c_str(), 1);
    RunningApp watcher(VANTREL_TRAY_WATCHER, {}, currentEnvironment());
    ASSERT_TRUE(watcher.waitForOutput("ready\n", kGuard)) << watcher.output();
    startGuiApplication();
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    const std::regex itemLine("item ([^/\n]+)(/[^\n]*)\n");
    ASSERT_TRUE(waitFor(
        [&] { return std::regex_search(output = watcher.output(), item, itemLine); }, kGuard))
        << output;
    EXPECT_FALSE(tray.menu->statusWindow().isOpen());
    EXPECT_FALSE(hasVisibleWindows());

    RunningApp activate("/usr/bin/dbus-send",
                        {"--session", "--print-reply", "--dest=" + item[1].str(), item[2].str(),
                         "org.kde.StatusNotifierItem.Activate", "int32:100", "int32:100"},
                        currentEnvironment());
    ASSERT_TRUE(waitFor([&] { return tray.menu->menuForTesting()->isVisible(); }, kGuard))
        << activate.output();
    clickShowLog(tray);
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel::testing
