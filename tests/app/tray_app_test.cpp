#include <signal.h>

#include <QLineEdit>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "app/main_menu.h"
#include "menubar/tray_test_kit.h"
#include "support/paths.h"
#include "support/qt_window.h"

namespace vantrel {
namespace {

using testing::kTestBuild;
using testing::MenuUnderTest;
using testing::runLoop;
using testing::waitFor;

class AppDelegateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    // The delegate takes the menu over; the test keeps reaching it through `status`.
    AppDelegate& start(bool loginItem) {
        delegate.reset();
        tray = std::make_unique<MenuUnderTest>(kTestBuild);
        status = tray->menu.get();
        delegate = std::make_unique<AppDelegate>(std::move(tray->menu), tray->alerts, loginItem);
        return *delegate;
    }

    std::unique_ptr<MenuUnderTest> tray;
    StatusMenu* status = nullptr;
    std::unique_ptr<AppDelegate> delegate;
};

// There is no tray here: after a start at login the status window is the one way to find the
// application. Reopen counts only windows the user can see: not a minimised one, not the tray's
// docked icon, and not the status window, which stands in for the tray menu. Closing windows
// leaves the application running; quitting goes through stop, which ends the agent and keep-awake.
TEST_F(AppDelegateTest, AStartAtLoginWithoutATrayOpensOnlyTheStatusWindow) {
    auto& app = start(true);
    tray->settings->setValue("KeepAwake", true);
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
    app.applicationDidFinishLaunching();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::logDirectory()));
    EXPECT_TRUE(app.mainMenuForTesting() && status->menuForTesting());
    auto pid = tray->agent->pidForTesting();
    ASSERT_TRUE(pid);
    ASSERT_TRUE(waitFor([&] { return tray->keepAwake->held; }));
    SetupWindow* setup = status->setupForTesting();
    EXPECT_FALSE(setup->isOpen());
    StatusWindow& statusWindow = status->statusWindow();
    EXPECT_TRUE(statusWindow.isOpen());
    statusWindow.window()->close();
    EXPECT_FALSE(hasVisibleWindows());

    SCOPED_TRACE("ReopenShowsTheSetupWindowOnlyWhenNoWindowIsVisible");
    QWidget other;
    other.show();
    app.reopen();
    EXPECT_FALSE(setup->isOpen());
    other.showMinimized();
    QWidget dockedIcon(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    dockedIcon.show();
    statusWindow.window()->showMinimized();
    app.reopen();
    EXPECT_TRUE(setup->isOpen());
    EXPECT_TRUE(statusWindow.isOpen()) << "brought back from the minimised state";
    // The setup window is a process of its own: minimised there with its key, as a person would.
    ASSERT_TRUE(testing::typeInWindowOf(*setup->pidForTesting(), "ctrl+m"));
    ASSERT_TRUE(waitFor([&] { return setup->isOpen() && !setup->isShowing(); }));
    app.reopen();
    EXPECT_TRUE(waitFor([&] { return setup->isShowing(); }));

    bool runningOn = false;  // seen inside the loop: its end is a quit of its own
    EXPECT_EQ(runLoop([&] {
                  setup->close();
                  statusWindow.window()->close();
                  QTimer::singleShot(0, [&] {
                      runningOn = tray->agent->pidForTesting() == pid;
                      QCoreApplication::exit(7);
                  });
              }),
              7)
        << "only the test ended the loop";
    EXPECT_TRUE(runningOn);
    EXPECT_EQ(runLoop([] { QCoreApplication::quit(); }), 0);
    EXPECT_FALSE(tray->keepAwake->held);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*pid, 0) != 0; }));
}

// A start by the user makes the folders and opens the setup window; when a folder cannot be made,
// only the alert shows, and dismissing it quits.
TEST_F(AppDelegateTest, AStartByTheUserOpensTheSetupWindowOrOnlySaysWhyItCannot) {
    const std::string dataHome = ::getenv("XDG_DATA_HOME");
    testing::TempDir dir;
    testing::writeFile(dir / "file", "in the way");
    ::setenv("XDG_DATA_HOME", (dir / "file").c_str(), 1);
    auto* failed = &start(false);
    EXPECT_EQ(runLoop([&] { failed->applicationDidFinishLaunching(); }), 0);
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    EXPECT_EQ(
        tray->alerts->shown,
        (std::vector<std::pair<std::string, std::string>>{
            {"Vantrel Agent cannot start", "It could not create its folder in " +
                                               (dir / "file").string() + ": Not a directory"}}));
    EXPECT_FALSE(failed->mainMenuForTesting() || status->menuForTesting());
    EXPECT_FALSE(tray->agent->pidForTesting() || status->setupForTesting()->isOpen());

    start(false).applicationDidFinishLaunching();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::support()));
    EXPECT_TRUE(status->setupForTesting()->isOpen());
    status->stop();
}

// With no global menu bar here, the main menu's keys work in windows shown later, and its
// commands reach every window or the focused widget.
TEST(MainMenuTest, KeysAndCommandsReachTheApplicationsWindows) {
    testing::startGuiApplication();
    auto bar = MainMenu::install();
    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("solar"), &window);
    const auto activate = [&] {
        window.showNormal();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    };
    ASSERT_TRUE(activate());
    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return window.isMinimized(); }, 2));
    ASSERT_TRUE(activate());
    field->setFocus();
    ASSERT_TRUE(waitFor([&] { return field->hasFocus(); }, 2));
    field->deselect();
    auto edit = bar->actions()[1]->menu()->actions();
    edit[6]->trigger();  // Select All
    EXPECT_EQ(field->selectedText(), "solar");
    edit[3]->trigger();  // Cut
    EXPECT_EQ(field->text(), "");
    edit[0]->trigger();  // Undo
    EXPECT_EQ(field->text(), "solar");
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return !window.isVisible(); }, 2));

    QWidget one, two;
    one.show();
    two.show();
    bar->actions()[0]->menu()->actions()[2]->trigger();  // Hide
    EXPECT_FALSE(one.isVisible() || two.isVisible());
}

}  // namespace
}  // namespace vantrel
