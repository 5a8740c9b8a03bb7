#include <fcntl.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>

#include <gtest/gtest.h>

#include "stand_in_services.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::FakePortal;
using testing::waitFor;

// The login manager's Inhibit, served from this process. Each lock handed out is a pipe whose
// read end stays here: the lock is held while the write end is open anywhere.
class FakeLoginManager final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public:
    explicit FakeLoginManager(const std::string& address)
        : bus_(QDBusConnection::connectToBus(QString::fromStdString(address), "login")) {
        registered =
            bus_.registerObject("/org/freedesktop/login1", this, QDBusConnection::ExportAllSlots) &&
            bus_.registerService("org.freedesktop.login1");
    }
    long locksHeld() const {
        return std::ranges::count_if(readEnds_,
                                     [](auto& end) { return !testing::readable(end.get(), 0); });
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

// One bus daemon of the test's own stands in for the session and the system bus, which are never
// touched; the login manager serves on it throughout, the portal only where a case starts it.
class KeepAwakeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = new testing::OwnBus;
        ASSERT_TRUE(bus->ready()) << bus->daemon.output();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address.c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // nothing here needs a display
        testing::startGuiApplication();
        manager = new FakeLoginManager(bus->address);
        ASSERT_TRUE(manager->registered);
    }
    // What one hold answers, once answered.
    static std::optional<bool> answerOf(KeepAwake& lock) {
        std::optional<bool> answer;
        lock.hold([&](bool held) { answer = held; });
        waitFor([&] { return answer.has_value(); }, 5);
        return answer;
    }
    static inline testing::OwnBus* bus = nullptr;
    static inline FakeLoginManager* manager = nullptr;
};

// No portal runs: the login manager's idle lock is held from its answer until release, and a
// second hold is ignored. Refused, or released before the grant came, nothing stays held.
TEST_F(KeepAwakeTest, WithoutAPortalTheLoginManagersLockIsHeldUntilRelease) {
    auto lock = makeKeepAwake();
    EXPECT_EQ(answerOf(*lock), true);
    EXPECT_TRUE(lock->isHeld());
    EXPECT_EQ(manager->requests.at(0).join('|'),
              "idle|Vantrel Agent|Vantrel Agent is reading your solar|block");
    EXPECT_EQ(manager->locksHeld(), 1);
    lock->hold([](bool) { ADD_FAILURE() << "a second hold is ignored"; });
    QCoreApplication::processEvents();
    EXPECT_EQ(manager->requests.size(), 1u);
    lock->release();
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager->locksHeld(), 0);
    lock->hold([](bool) { ADD_FAILURE() << "answered after release"; });
    lock->release();
    QCoreApplication::processEvents();
    EXPECT_EQ(manager->locksHeld(), 0) << "a grant after release is let go";
    // A refusal when the start restores the preference is stored as off, with no alert.
    manager->refuses = true;
    testing::MenuUnderTest tray(testing::kTestBuild, "sleep 30\n", makeKeepAwake());
    tray.settings->setValue("KeepAwake", true);
    tray.menu->start();
    ASSERT_TRUE(waitFor([&] { return !tray.settings->value("KeepAwake").toBool(); }, 5));
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(tray.action("Keep this computer awake")->isChecked());
    EXPECT_EQ(manager->locksHeld(), 0);
    EXPECT_TRUE(tray.alerts->shown.empty());
    tray.menu->stop();
    manager->refuses = false;
}

// Where the portal runs it alone is asked, for the suspend flag with the reason: held while its
// request is open, closed on release (also a grant that came after release); a refusal holds
// nothing and does not go behind its back to the login manager.
TEST_F(KeepAwakeTest, WhereThePortalRunsItHoldsTheComputerAwakeUntilRelease) {
    FakePortal portal(bus->address);
    ASSERT_TRUE(portal.run());
    const auto askedBefore = manager->requests.size();
    auto lock = makeKeepAwake();
    EXPECT_EQ(answerOf(*lock), true);
    EXPECT_TRUE(lock->isHeld());
    EXPECT_EQ(portal.requests, std::vector<std::string>{"|4|Vantrel Agent is reading your solar"});
    EXPECT_EQ(portal.open.size(), 1u);
    lock->hold([](bool) { ADD_FAILURE() << "a second hold is ignored"; });
    lock->release();
    EXPECT_FALSE(lock->isHeld());
    EXPECT_TRUE(waitFor([&] { return portal.open.empty(); }, 5)) << "released, the request closes";
    EXPECT_EQ(portal.requests.size(), 1u);
    lock->hold([](bool) { ADD_FAILURE() << "answered after release"; });
    lock->release();
    EXPECT_TRUE(waitFor([&] { return portal.requests.size() == 2 && portal.open.empty(); }, 5))
        << "a grant after release is closed at once";
    portal.refuses = true;
    EXPECT_EQ(answerOf(*lock), false);
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager->requests.size(), askedBefore) << "the login manager is never asked";
}

}  // namespace
}  // namespace vantrel

#include "keep_awake_test.moc"
