#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <optional>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace vantrel::testing {

// A bus daemon of the test's own, standing in for the system bus: DBUS_SYSTEM_BUS_ADDRESS points
// at it for the rest of the program, so it must start before anything touches the system bus.
class PrivateSystemBus {
  public:
    PrivateSystemBus();
    ~PrivateSystemBus();

    const QString& address() const { return address_; }

  private:
    TempDir dir_;
    std::optional<ChildProcess> daemon_;
    QString address_;
};

// The login manager's Inhibit, served on that bus from this process. Each lock handed out is a
// pipe whose read end stays here: the lock is held while the write end is open anywhere.
class FakeLoginManager final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public:
    struct Request {
        QString what, who, why, mode;
    };

    explicit FakeLoginManager(const QString& busAddress);
    ~FakeLoginManager() override;

    bool registered() const { return registered_; }
    void unregister();
    int locksHeld() const;

    bool refuses = false;
    std::vector<Request> requests;

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

  private:
    QDBusConnection bus_;
    bool registered_ = false;
    std::vector<UniqueFd> readEnds_;
};

}  // namespace vantrel::testing
