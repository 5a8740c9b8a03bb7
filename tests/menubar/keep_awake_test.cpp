#include <fcntl.h>
#include <poll.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>

#include <gtest/gtest.h>

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
    std::vector<QStringList> requests;  // what, who, why, mode

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
        address = "unix:path=" + (busDir / "bus").string();
        busDaemon = new testing::RunningApp("/usr/bin/dbus-daemon",
                                            {"--session", "--nofork", "--address=" + address},
                                            currentEnvironment());
        ASSERT_TRUE(testing::eventually([] { return std::filesystem::exists(busDir / "bus"); }));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // nothing here needs a display
        testing::startGuiApplication();
    }
    static void TearDownTestSuite() { delete busDaemon; }

    void SetUp() override { ASSERT_TRUE(manager.registered); }

    static inline testing::TempDir busDir;
    static inline std::string address;
    static inline testing::RunningApp* busDaemon = nullptr;
    FakeLoginManager manager{QString::fromStdString(address)};
};

TEST_F(KeepAwakeTest, HoldTakesOneIdleLockThatLastsUntilRelease) {
    auto lock = makeKeepAwake();
    std::optional<bool> answer;
    lock->hold([&](bool held) { answer = held; });
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }, 5));
    EXPECT_TRUE(*answer && lock->isHeld());
    ASSERT_EQ(manager.requests.size(), 1u);
    EXPECT_EQ(manager.requests[0], QStringList({"idle", "Vantrel Agent",
                                                "Vantrel Agent is reading your solar", "block"}));
    EXPECT_EQ(manager.locksHeld(), 1);
    lock->hold([](bool) { ADD_FAILURE() << "a second hold is ignored"; });
    QCoreApplication::processEvents();
    EXPECT_EQ(manager.requests.size(), 1u);
    lock->release();
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager.locksHeld(), 0);
}

// A grant arriving after release reaches nobody: its lock's last copy closes, and no answer comes.
TEST_F(KeepAwakeTest, ARefusalNoLoginManagerOrAGrantAfterReleaseLeavesNothingHeld) {
    const struct {
        const char* what;
        bool refuses, unregister, releaseAtOnce;
        std::optional<bool> answer;
    } rows[] = {{"a grant after release", false, false, true, std::nullopt},
                {"a refusal", true, false, false, false},
                {"no login manager", false, true, false, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        manager.refuses = row.refuses;
        if (row.unregister) {
            manager.unregister();
        }
        auto lock = makeKeepAwake();
        std::optional<bool> answer;
        lock->hold([&](bool held) { answer = held; });
        if (row.releaseAtOnce) {
            lock->release();
            ASSERT_TRUE(waitFor(
                [&] { return manager.requests.size() == 1 && manager.locksHeld() == 0; }, 5));
            QCoreApplication::processEvents();
        } else {
            waitFor([&] { return answer.has_value(); }, 5);
        }
        EXPECT_EQ(answer, row.answer);
        EXPECT_FALSE(lock->isHeld());
        EXPECT_EQ(manager.locksHeld(), 0);
    }
}

// What is stored is what the login manager granted; stop lets go of the lock.
TEST_F(KeepAwakeTest, TheMenuHoldsOneLockBetweenOnAndOffAndStopReleasesIt) {
    testing::MenuUnderTest tray(testing::kTestBuild, "sleep 30\n", makeKeepAwake());
    tray.menu->start();
    auto* awake = tray.action("Keep this computer awake");
    awake->trigger();
    ASSERT_TRUE(waitFor([&] { return tray.settings->value("KeepAwake").toBool(); }, 5));
    EXPECT_EQ(manager.locksHeld(), 1);
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_TRUE(awake->isChecked());
    awake->trigger();
    EXPECT_EQ(manager.locksHeld(), 0);
    EXPECT_FALSE(tray.settings->value("KeepAwake").toBool());
    awake->trigger();  // the lock is taken once the answer is in, not when the manager made it
    ASSERT_TRUE(waitFor([&] { return tray.settings->value("KeepAwake").toBool(); }, 5));
    EXPECT_EQ(manager.locksHeld(), 1);
    tray.menu->stop();
    EXPECT_EQ(manager.locksHeld(), 0);
    EXPECT_EQ(manager.requests.size(), 2u);

    manager.refuses = true;
    testing::MenuUnderTest refused(testing::kTestBuild, "sleep 30\n", makeKeepAwake());
    refused.settings->setValue("KeepAwake", true);
    refused.menu->start();
    ASSERT_TRUE(waitFor([&] { return !refused.settings->value("KeepAwake").toBool(); }, 5));
    emit refused.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(refused.action("Keep this computer awake")->isChecked());
    EXPECT_TRUE(tray.alerts->shown.empty() && refused.alerts->shown.empty());
    refused.menu->stop();
}

}  // namespace
}  // namespace vantrel

#include "keep_awake_test.moc"
