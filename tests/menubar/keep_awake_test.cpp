#include <fcntl.h>

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

// A bus daemon of the test's own stands in for the system bus, which is never touched. One idle
// lock is held from the login manager's answer until release, and a second hold is ignored.
TEST(KeepAwakeTest, HoldTakesOneIdleLockThatLastsUntilRelease) {
    testing::OwnBus bus;
    ASSERT_TRUE(bus.ready()) << bus.daemon.output();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // nothing here needs a display
    testing::startGuiApplication();
    FakeLoginManager manager(bus.address);
    ASSERT_TRUE(manager.registered);
    auto lock = makeKeepAwake();
    std::optional<bool> answer;
    lock->hold([&](bool held) { answer = held; });
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }, 5));
    EXPECT_TRUE(*answer && lock->isHeld());
    EXPECT_EQ(manager.requests.at(0).join('|'),
              "idle|Vantrel Agent|Vantrel Agent is reading your solar|block");
    EXPECT_EQ(manager.locksHeld(), 1);
    lock->hold([](bool) { ADD_FAILURE() << "a second hold is ignored"; });
    QCoreApplication::processEvents();
    EXPECT_EQ(manager.requests.size(), 1u);
    lock->release();
    EXPECT_FALSE(lock->isHeld());
    EXPECT_EQ(manager.locksHeld(), 0);
    // ARefusalNoLoginManagerOrAGrantAfterReleaseLeavesNothingHeld: a grant arriving after release
    // never answers, and its lock's last copy closes.
    lock->hold([](bool) { ADD_FAILURE() << "answered after release"; });
    lock->release();
    ASSERT_TRUE(
        waitFor([&] { return manager.requests.size() == 2 && manager.locksHeld() == 0; }, 5));
    QCoreApplication::processEvents();
    // A refusal (no login manager fails as one does) when the start restores the preference is
    // stored as off, with no alert.
    manager.refuses = true;
    testing::MenuUnderTest tray(testing::kTestBuild, "sleep 30\n", makeKeepAwake());
    tray.settings->setValue("KeepAwake", true);
    tray.menu->start();
    ASSERT_TRUE(waitFor([&] { return !tray.settings->value("KeepAwake").toBool(); }, 5));
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(tray.action("Keep this computer awake")->isChecked());
    EXPECT_EQ(manager.locksHeld(), 0);
    EXPECT_TRUE(tray.alerts->shown.empty());
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel

#include "keep_awake_test.moc"
