#include <signal.h>

#include <QLineEdit>
#include <QtTest/QTest>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "app/main_menu.h"
#include "app/reopen_request.h"
#include "app/reopen_server.h"
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

    void SetUp() override {
        tray = std::make_unique<MenuUnderTest>(kTestBuild);
        status = tray->menu.get();
    }

    // The delegate takes the menu over; the test keeps reaching it through `status`.
    AppDelegate* delegate(bool loginItem) {
        owned = std::make_unique<AppDelegate>(std::move(tray->menu), tray->alerts, loginItem);
        return owned.get();
    }

    void TearDown() override { owned.reset(); }

    std::unique_ptr<MenuUnderTest> tray;
    StatusMenu* status = nullptr;
    std::unique_ptr<AppDelegate> owned;
};

// A start by the user makes the folders and opens the setup window; closing it leaves the
// application running, and quitting goes through stop, which ends the agent and keep-awake.
TEST_F(AppDelegateTest, AStartByTheUserOpensTheSetupWindowAndOnlyQuitEndsTheApplication) {
    tray->settings->setValue("KeepAwake", true);
    auto* app = delegate(false);
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::support()));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::logDirectory()));
    EXPECT_TRUE(app->mainMenuForTesting() && status->menuForTesting());
    EXPECT_TRUE(status->setupForTesting()->isOpen());
    ASSERT_TRUE(waitFor([&] { return tray->keepAwake->held; }));
    auto pid = tray->agent->pidForTesting();
    ASSERT_TRUE(pid);
    bool runningOn = false;  // seen inside the loop: its end is a quit of its own
    EXPECT_EQ(runLoop([&] {
                  status->setupForTesting()->close();
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

// There is no tray here: the status window is the one way to find the application after login.
TEST_F(AppDelegateTest, AStartAtLoginWithoutATrayOpensOnlyTheStatusWindow) {
    auto* app = delegate(true);
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(tray->agent->pidForTesting());
    EXPECT_FALSE(status->setupForTesting()->isOpen());
    EXPECT_TRUE(status->statusWindow().isOpen());
    status->statusWindow().window()->close();
    EXPECT_FALSE(hasVisibleWindows());
    status->stop();
}

TEST_F(AppDelegateTest, AFolderThatCannotBeMadeShowsOnlyTheAlertThenQuits) {
    auto dataHome = std::string(::getenv("XDG_DATA_HOME"));
    testing::TempDir dir;
    testing::writeFile(dir / "file", "in the way");
    ::setenv("XDG_DATA_HOME", (dir / "file").c_str(), 1);
    auto* app = delegate(false);
    int exitStatus = runLoop([&] { app->applicationDidFinishLaunching(); });
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);

    EXPECT_EQ(exitStatus, 0) << "the dismissed alert quits";
    ASSERT_EQ(tray->alerts->shown.size(), 1u);
    EXPECT_EQ(tray->alerts->shown[0].first, "Vantrel Agent cannot start");
    EXPECT_EQ(tray->alerts->shown[0].second,
              "It could not create its folder in " + (dir / "file").string() + ": Not a directory");
    EXPECT_FALSE(app->mainMenuForTesting() || status->menuForTesting());
    EXPECT_FALSE(tray->agent->pidForTesting() || status->setupForTesting()->isOpen());
}

// Only windows the user can see count: not a minimised one, not the tray's docked icon, and not
// the status window, which stands in for the tray menu.
TEST_F(AppDelegateTest, ReopenShowsTheSetupWindowOnlyWhenNoWindowIsVisible) {
    auto* app = delegate(true);
    app->applicationDidFinishLaunching();
    StatusWindow& statusWindow = status->statusWindow();
    QWidget other;
    other.show();
    app->reopen();
    EXPECT_FALSE(status->setupForTesting()->isOpen());
    other.showMinimized();
    QWidget dockedIcon(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    dockedIcon.show();
    statusWindow.window()->showMinimized();

    app->reopen();
    EXPECT_TRUE(status->setupForTesting()->isOpen());
    EXPECT_TRUE(statusWindow.isOpen()) << "brought back from the minimised state";
    // The setup window is a process of its own: minimised there with its key, as a person would.
    SetupWindow* setup = status->setupForTesting();
    ASSERT_TRUE(testing::typeInWindowOf(*setup->pidForTesting(), "ctrl+m"));
    ASSERT_TRUE(waitFor([&] { return setup->isOpen() && !setup->isShowing(); }));
    app->reopen();
    EXPECT_TRUE(waitFor([&] { return setup->isShowing(); }));
    EXPECT_TRUE(app->applicationShouldHandleReopen(true));
    status->stop();
}

// With no global menu bar here, the main menu's keys work in windows shown later, and its
// commands reach every window or the focused widget.
TEST(MainMenuTest, KeysAndCommandsReachTheApplicationsWindows) {
    testing::startGuiApplication();
    auto bar = MainMenu::install();
    std::string menus;
    for (auto* top : bar->actions()) {
        menus += top->menu()->title().toStdString() + ":";
        for (auto* item : top->menu()->actions()) {
            menus +=
                " " + (item->isSeparator() ? "-" : item->text().toStdString()) +
                (item->shortcut().isEmpty() ? "" : " " + item->shortcut().toString().toStdString());
        }
        menus += "\n";
    }
    EXPECT_EQ(menus,
              ": About Vantrel Agent - Hide Vantrel Agent Ctrl+H Hide Others Ctrl+Alt+H - Quit "
              "Vantrel Agent Ctrl+Q\nEdit: Undo Ctrl+Z Redo Ctrl+Shift+Z - Cut Ctrl+X Copy Ctrl+C "
              "Paste Ctrl+V Select All Ctrl+A\nWindow: Minimise Ctrl+M Close Ctrl+W\n");

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

// The second start's request: refused while nobody listens, then each acknowledged by a server
// that took over the file a dead instance left.
TEST(ReopenHandoverTest, TheRunningInstanceAcknowledgesEachRequest) {
    testing::startGuiApplication();
    testing::TempDir dir;
    auto socket = dir / "vantrel-agent.sock";
    testing::writeFile(socket, "left by an instance that died");
    EXPECT_FALSE(requestReopen(socket, 0.5));
    ReopenServer server;
    int requests = 0;
    QObject::connect(&server, &ReopenServer::reopenRequested, [&] { ++requests; });
    ASSERT_TRUE(server.listen(socket));
    for (int i = 0; i < 2; ++i) {
        std::atomic<int> result{-1};
        std::thread client([&] { result = requestReopen(socket, 60); });
        waitFor([&] { return result >= 0; }, 120);
        client.join();
        EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(requests, 2);
}

}  // namespace
}  // namespace vantrel
