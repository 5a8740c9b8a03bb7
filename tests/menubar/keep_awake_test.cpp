#include <QCoreApplication>

#include <gtest/gtest.h>

#include "fake_login_manager.h"
#include "menubar/keep_awake.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::actionTitled;
using testing::waitFor;

// The whole program talks to one private bus; the system's own is never touched.
class KeepAwakeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = new testing::PrivateSystemBus;
        testing::startGuiApplication();
    }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(manager.registered()); }

    // Asks for the lock and waits for the answer.
    std::optional<bool> holdAndWait(KeepAwake& lock) {
        std::optional<bool> answer;
        lock.hold([&](bool held) { answer = held; });
        waitFor([&] { return answer.has_value(); }, 5);
        return answer;
    }

    static testing::PrivateSystemBus* bus;
    testing::FakeLoginManager manager{bus->address()};
};

testing::PrivateSystemBus* KeepAwakeTest::bus = nullptr;

TEST_F(KeepAwakeTest, HoldTakesOneIdleLockThatLastsUntilRelease) {
    auto lock = makeKeepAwake();
    EXPECT_EQ(holdAndWait(*lock), true);
    EXPECT_TRUE(lock->isHeld());
    ASSERT_EQ(manager.requests.size(), 1u);
    const auto& request = manager.requests[0];
    EXPECT_EQ(request.what, "idle");
    EXPECT_EQ(request.who, "Vantrel Agent");
    EXPECT_EQ(request.why, "Vantrel Agent is reading your solar");
    EXPECT_EQ(request.mode, "block");
    EXPECT_EQ(manager.locksHeld(), 1);

    lock->hold([](bool) { ADD_FAILURE() << "a second hold is ignored"; });
    QCoreApplication::processEvents();
    EXPECT_EQ(manager.requests.size(), 1u);

    lock->release();
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager.locksHeld(), 0);
}

TEST_F(KeepAwakeTest, ARefusalLeavesNothingHeld) {
    manager.refuses = true;
    auto lock = makeKeepAwake();
    EXPECT_EQ(holdAndWait(*lock), false);
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager.locksHeld(), 0);
}

TEST_F(KeepAwakeTest, NoLoginManagerOnTheBusLeavesNothingHeld) {
    manager.unregister();
    auto lock = makeKeepAwake();
    EXPECT_EQ(holdAndWait(*lock), false);
    EXPECT_FALSE(lock->isHeld());
}

TEST_F(KeepAwakeTest, AGrantArrivingAfterReleaseIsLetGoAtOnce) {
    auto lock = makeKeepAwake();
    bool answered = false;
    lock->hold([&](bool) { answered = true; });
    lock->release();
    ASSERT_TRUE(waitFor([&] { return manager.requests.size() == 1; }, 5));
    waitFor([] { return false; }, 0.3);
    EXPECT_FALSE(answered);
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager.locksHeld(), 0);
}

TEST_F(KeepAwakeTest, TheMenuHoldsOneLockBetweenOnAndOffAndStopReleasesIt) {
    testing::MenuUnderTest tray({.isProduction = false, .apiLabel = "127.0.0.1"}, "sleep 30\n",
                                makeKeepAwake());
    tray.menu->start();
    auto* awake = actionTitled(*tray.menu->menuForTesting(), "Keep this computer awake");
    awake->trigger();
    ASSERT_TRUE(waitFor([&] { return tray.settings->value("KeepAwake").toBool(); }, 5));
    EXPECT_EQ(manager.locksHeld(), 1);
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_TRUE(awake->isChecked());

    awake->trigger();
    EXPECT_EQ(manager.locksHeld(), 0);
    EXPECT_FALSE(tray.settings->value("KeepAwake").toBool());

    awake->trigger();
    ASSERT_TRUE(waitFor([&] { return manager.locksHeld() == 1; }, 5));
    tray.menu->stop();
    EXPECT_EQ(manager.locksHeld(), 0);
    EXPECT_EQ(manager.requests.size(), 2u);
    EXPECT_TRUE(tray.alerts->shown.empty());
}

TEST_F(KeepAwakeTest, TheMenuStoresOffWhenTheLoginManagerRefuses) {
    manager.refuses = true;
    testing::MenuUnderTest tray({.isProduction = false, .apiLabel = "127.0.0.1"}, "sleep 30\n",
                                makeKeepAwake());
    tray.settings->setValue("KeepAwake", true);
    tray.menu->start();
    ASSERT_TRUE(waitFor([&] { return !tray.settings->value("KeepAwake").toBool(); }, 5));
    EXPECT_EQ(manager.requests.size(), 1u);
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(
        actionTitled(*tray.menu->menuForTesting(), "Keep this computer awake")->isChecked());
    EXPECT_TRUE(tray.alerts->shown.empty());
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel
