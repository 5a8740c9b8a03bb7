#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>

#include <gtest/gtest.h>

#include "menubar/keep_awake.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::waitFor;

// The login manager's Inhibit, served from this process. Each lock handed out is a pipe whose
// read end stays here: the lock is held while the write end is open anywhere.
class FakeLoginManager final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public:
    struct Request {
        QString what, who, why, mode;
    };

    explicit FakeLoginManager(const QString& address)
        : bus_(QDBusConnection::connectToBus(address, "fake-login-manager")) {
        registered =
            bus_.registerObject("/org/freedesktop/login1", this, QDBusConnection::ExportAllSlots) &&
            bus_.registerService("org.freedesktop.login1");
    }
    ~FakeLoginManager() override {
        unregister();
        QDBusConnection::disconnectFromBus("fake-login-manager");
    }
    void unregister() { bus_.unregisterService("org.freedesktop.login1"); }
    int locksHeld() const {
        return static_cast<int>(std::ranges::count_if(readEnds_, [](const UniqueFd& end) {
            pollfd entry{end.get(), POLLIN, 0};
            return ::poll(&entry, 1, 0) == 0;
        }));
    }

    bool registered = false;
    bool refuses = false;
    std::vector<Request> requests;

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        requests.push_back({what, who, why, mode});
        int ends[2];
        if (refuses || ::pipe2(ends, O_CLOEXEC) != 0) {
            sendErrorReply(QDBusError::AccessDenied, "Permission denied");
            return {};
        }
        readEnds_.emplace_back(ends[0]);
        UniqueFd writeEnd(ends[1]);
        return QDBusUnixFileDescriptor(writeEnd.get());  // a copy of its own until sent
    }

  private:
    QDBusConnection bus_;
    std::vector<UniqueFd> readEnds_;
};

// A bus daemon of the test's own stands in for the system bus for the whole program, so the
// system's own is never touched.
class KeepAwakeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        busDir = new testing::TempDir;
        address = "unix:path=" + (*busDir / "bus").string();
        auto started = ChildProcess::spawn({"/usr/bin/dbus-daemon",
                                            {"--session", "--nofork", "--address=" + address},
                                            currentEnvironment(),
                                            -1});
        ASSERT_TRUE(started.child);
        busDaemon = new ChildProcess(std::move(*started.child));
        ASSERT_TRUE(testing::eventually([] { return std::filesystem::exists(*busDir / "bus"); }));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        testing::startGuiApplication();
    }
    static void TearDownTestSuite() {
        busDaemon->signal(SIGTERM);
        busDaemon->wait();
    }

    void SetUp() override { ASSERT_TRUE(manager.registered); }

    std::optional<bool> holdAndWait(KeepAwake& lock) {
        std::optional<bool> answer;
        lock.hold([&](bool held) { answer = held; });
        waitFor([&] { return answer.has_value(); }, 5);
        return answer;
    }

    static inline testing::TempDir* busDir = nullptr;
    static inline std::string address;
    static inline ChildProcess* busDaemon = nullptr;
    FakeLoginManager manager{QString::fromStdString(address)};
};

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

TEST_F(KeepAwakeTest, ARefusalOrNoLoginManagerLeavesNothingHeld) {
    manager.refuses = true;
    for (int round = 0; round < 2; ++round) {
        auto lock = makeKeepAwake();
        EXPECT_EQ(holdAndWait(*lock), false) << round;
        EXPECT_FALSE(lock->isHeld());
        EXPECT_EQ(manager.locksHeld(), 0);
        manager.unregister();
    }
}

// The lock handed out after release reaches nobody: its last copy closes, and no answer comes.
TEST_F(KeepAwakeTest, AGrantArrivingAfterReleaseIsLetGoAtOnce) {
    auto lock = makeKeepAwake();
    bool answered = false;
    lock->hold([&](bool) { answered = true; });
    lock->release();
    ASSERT_TRUE(
        waitFor([&] { return manager.requests.size() == 1 && manager.locksHeld() == 0; }, 5));
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
    EXPECT_FALSE(lock->isHeld());
}

TEST_F(KeepAwakeTest, TheMenuHoldsOneLockBetweenOnAndOffAndStopReleasesIt) {
    testing::MenuUnderTest tray({.isProduction = false, .apiLabel = "127.0.0.1"}, "sleep 30\n",
                                makeKeepAwake());
    tray.menu->start();
    auto* awake = testing::actionTitled(*tray.menu->menuForTesting(), "Keep this computer awake");
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
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(testing::actionTitled(*tray.menu->menuForTesting(), "Keep this computer awake")
                     ->isChecked());
    EXPECT_TRUE(tray.alerts->shown.empty());
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel

#include "keep_awake_test.moc"
