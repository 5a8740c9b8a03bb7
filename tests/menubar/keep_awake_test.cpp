#include <fcntl.h>

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

    QDBusConnection bus_;

  public:
    explicit FakeLoginManager(const std::string& address)
        : bus_(testing::serve(this, address, "/org/freedesktop/login1")),
          registered(bus_.registerService("org.freedesktop.login1")) {}
    const bool registered;
    long locksHeld() const {
        return std::ranges::count_if(readEnds_,
                                     [](auto& end) { return !testing::readable(end.get(), 0); });
    }

    bool refuses = false;
    std::vector<QStringList> requests;  // what, who, why, mode

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        requests.push_back({what, who, why, mode});
        auto lock = makePipe(O_CLOEXEC);
        if (refuses || !lock.writeEnd.valid()) {
            sendErrorReply(QDBusError::AccessDenied, "Permission denied");
            return {};
        }
        readEnds_.push_back(std::move(lock.readEnd));
        return QDBusUnixFileDescriptor(lock.writeEnd.get());  // a copy of its own until sent
    }

  private:
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
        ASSERT_TRUE(manager->registered) << "expected the login manager on the bus";
    }
    static std::optional<bool> answerOf(KeepAwake& lock) {
        std::optional<bool> answer;
        lock.hold([&](bool held) { answer = held; });
        waitFor([&] { return answer.has_value(); }, 5);
        return answer;
    }
    // A hold that must never be answered: a second one, or one released before its grant.
    static void holdUnanswered(KeepAwake& lock, const char* why) {
        lock.hold([why](bool) { ADD_FAILURE() << "expected no answer: " << why; });
    }
    // A lock held, held once however often asked, let go on release, also when released before
    // its grant: `held` counts the locks the service holds, `asked` the requests it had, and
    // `askedAtLast` after a hold released before its grant.
    static void holdAndRelease(KeepAwake& lock, const std::function<size_t()>& held,
                               const std::function<size_t()>& asked, size_t askedAtLast) {
        EXPECT_EQ(answerOf(lock), true);
        EXPECT_TRUE(lock.isHeld()) << "expected held once granted";
        EXPECT_EQ(held(), 1u);
        holdUnanswered(lock, "a second hold");
        lock.release();
        EXPECT_FALSE(lock.isHeld()) << "expected released";
        EXPECT_TRUE(waitFor([&] { return held() == 0; }, 5)) << "expected the lock let go";
        EXPECT_EQ(asked(), 1u) << "expected a second hold ignored";
        holdUnanswered(lock, "released before the grant");
        lock.release();
        EXPECT_TRUE(waitFor([&] { return asked() == askedAtLast && held() == 0; }, 5))
            << "expected a grant after release let go at once";
    }
    static inline testing::OwnBus* bus = nullptr;
    static inline FakeLoginManager* manager = nullptr;
};

// A hold released while the portal is still being looked for asks the login manager nothing.
TEST_F(KeepAwakeTest, WithoutAPortalTheLoginManagersIdleLockIsHeldUntilRelease) {
    const auto asked = manager->requests.size();
    holdAndRelease(
        *makeKeepAwake(), [] { return manager->locksHeld(); },
        [&] { return manager->requests.size() - asked; }, 1);
    EXPECT_EQ(manager->requests.at(asked).join('|'),
              "idle|Vantrel Agent|Vantrel Agent is reading your solar|block");
}

// A refusal when the start restores the preference is stored as off, with no alert.
TEST_F(KeepAwakeTest, ARefusalAtStartTurnsThePreferenceOffWithoutAnAlert) {
    manager->refuses = true;
    testing::MenuUnderTest tray(testing::kTestBuild, "sleep 30\n", makeKeepAwake());
    tray.settings->setValue("KeepAwake", true);
    tray.menu->start();
    ASSERT_TRUE(waitFor([&] { return !tray.settings->value("KeepAwake").toBool(); }, 5))
        << "expected the preference stored as off";
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(tray.action("Keep this computer awake")->isChecked()) << "expected unchecked";
    EXPECT_TRUE(tray.alerts->shown.empty()) << "expected no alert";
    tray.menu->stop();
    manager->refuses = false;
}

// The portal alone is asked (for the suspend flag with the reason, as the desktop's session test
// shows); a refusal holds nothing and does not go behind its back to the login manager.
TEST_F(KeepAwakeTest, WhereThePortalRunsItsRequestIsHeldOpenUntilRelease) {
    FakePortal portal(bus->address);
    ASSERT_TRUE(portal.run()) << "expected the portal on the bus";
    const auto askedBefore = manager->requests.size();
    auto lock = makeKeepAwake();
    holdAndRelease(
        *lock, [&] { return portal.open.size(); }, [&] { return portal.requests.size(); }, 2);
    portal.refuses = true;
    EXPECT_EQ(answerOf(*lock), false);
    EXPECT_FALSE(lock->isHeld()) << "expected nothing held after a refusal";
    EXPECT_EQ(manager->requests.size(), askedBefore) << "expected the login manager never asked";
}

}  // namespace
}  // namespace vantrel

#include "keep_awake_test.moc"
