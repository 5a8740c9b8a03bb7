#include <signal.h>

#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "app/main_menu.h"
#include "app/reopen_request.h"
#include "app/reopen_server.h"
#include "app/termination_signals.h"
#include "menubar/tray_test_kit.h"
#include "support/instance_lock.h"
#include "support/paths.h"
#include "support/qt_window.h"

namespace vantrel {
namespace {

using testing::MenuUnderTest;
using testing::waitFor;

const BuildFlavour kTestBuild{.isProduction = false, .apiLabel = "127.0.0.1"};

// Runs the event loop until something quits it; -1 when nothing did within the time given.
int runLoop(int timeoutMs = 5000) {
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    failsafe.start(timeoutMs);
    return QCoreApplication::exec();
}

class AppDelegateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    void SetUp() override {
        tray = std::make_unique<MenuUnderTest>(
            kTestBuild, "touch \"$(dirname \"$0\")/started\"\nexec sleep 30\n");
        status = tray->menu.get();
    }

    // The delegate takes the menu over; the test keeps reaching it through `status`.
    AppDelegate* delegate(bool loginItem) {
        owned = std::make_unique<AppDelegate>(std::move(tray->menu), tray->alerts, loginItem);
        return owned.get();
    }

    void TearDown() override {
        if (auto* setup = status->setupForTesting(); setup->isOpen()) {
            setup->windowForTesting()->close();
        }
        owned.reset();
    }

    std::unique_ptr<MenuUnderTest> tray;
    StatusMenu* status = nullptr;
    std::unique_ptr<AppDelegate> owned;
};

TEST_F(AppDelegateTest, AStartByTheUserBringsEverythingUpAndOpensTheSetupWindow) {
    auto* app = delegate(false);
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(std::filesystem::is_directory(Paths::support()));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::logDirectory()));
    EXPECT_NE(app->mainMenuForTesting(), nullptr);
    EXPECT_NE(status->menuForTesting(), nullptr);
    EXPECT_TRUE(tray->agent->pidForTesting());
    EXPECT_TRUE(status->setupForTesting()->isOpen());
    status->stop();
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
    QTimer::singleShot(0, app, &AppDelegate::applicationDidFinishLaunching);
    int exitStatus = runLoop();
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);

    EXPECT_EQ(exitStatus, 0) << "the dismissed alert quits";
    ASSERT_EQ(tray->alerts->shown.size(), 1u);
    EXPECT_EQ(tray->alerts->shown[0].first, "Vantrel Agent cannot start");
    EXPECT_EQ(tray->alerts->shown[0].second,
              "It could not create its folder in " + (dir / "file").string() + ": Not a directory");
    EXPECT_EQ(app->mainMenuForTesting(), nullptr);
    EXPECT_EQ(status->menuForTesting(), nullptr);
    EXPECT_FALSE(tray->agent->pidForTesting());
    EXPECT_FALSE(status->setupForTesting()->isOpen());
    waitFor([] { return false; }, 0.3);
    EXPECT_FALSE(std::filesystem::exists(tray->dir / "started")) << "the agent never ran";
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
    QWidget* setup = status->setupForTesting()->windowForTesting();
    setup->showMinimized();
    app->reopen();
    EXPECT_FALSE(setup->isMinimized());
    EXPECT_TRUE(app->applicationShouldHandleReopen(true));
    status->stop();
}

TEST_F(AppDelegateTest, ClosingTheLastWindowLeavesTheApplicationRunning) {
    auto* app = delegate(false);
    app->applicationDidFinishLaunching();
    bool runningOn = false;
    QTimer::singleShot(0, [&] { status->setupForTesting()->windowForTesting()->close(); });
    QTimer::singleShot(500, [&] {
        runningOn = !status->setupForTesting()->isOpen() && status->menuForTesting() &&
                    tray->agent->pidForTesting();
        QCoreApplication::exit(7);
    });
    EXPECT_EQ(runLoop(), 7) << "only the test ended the loop";
    EXPECT_TRUE(runningOn);
}

TEST_F(AppDelegateTest, EveryQuitGoesThroughStopWhichStopsTheAgentAndReleasesKeepAwake) {
    tray->settings->setValue("KeepAwake", true);
    auto* app = delegate(true);
    app->applicationDidFinishLaunching();
    ASSERT_TRUE(waitFor([&] { return tray->keepAwake->held; }));
    auto pid = *tray->agent->pidForTesting();
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(tray->keepAwake->held);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(pid, 0) != 0; }));
}

// The handler runs within raise(), so each signal is already in hand when the loop is asked for it;
// the spy's wait only bounds a hang.
TEST(TerminationSignalsTest, EachEndingSignalArrivesOnceOnTheMainLoop) {
    testing::startGuiApplication();
    TerminationSignals signals_;
    QSignalSpy received(&signals_, &TerminationSignals::received);
    int count = 0;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        ::raise(number);
        ASSERT_TRUE(received.wait(120'000)) << number;
        EXPECT_EQ(received.count(), ++count) << number;
    }
}

class ReopenHandoverTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    // Runs requestReopen on a thread while the main loop serves.
    bool request(double timeout = 2) {
        std::atomic<int> result{-1};
        std::thread client([&] { result = requestReopen(socket, timeout) ? 1 : 0; });
        waitFor([&] { return result >= 0; }, timeout + 2);
        client.join();
        return result == 1;
    }

    testing::TempDir dir;
    std::filesystem::path socket = dir / "vantrel-agent.sock";
};

TEST_F(ReopenHandoverTest, TheRunningInstanceAcknowledgesEachRequest) {
    testing::writeFile(socket, "left by an instance that died");
    ReopenServer server;
    int requests = 0;
    QObject::connect(&server, &ReopenServer::reopenRequested, [&] { ++requests; });
    ASSERT_TRUE(server.listen(socket));
    EXPECT_TRUE(request());
    EXPECT_TRUE(request());
    EXPECT_EQ(requests, 2);
}

TEST_F(ReopenHandoverTest, WithoutAListenerTheRequestFailsInTime) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(request(0.5));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(ReopenSocketTest, LivesInTheRuntimeFolder) {
    EXPECT_EQ(reopenSocketPath(), InstanceLock::runtimeDirectory() / "vantrel-agent.sock");
}

}  // namespace
}  // namespace vantrel
