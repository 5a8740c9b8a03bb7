#include <fcntl.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <cstdint>

#include "menubar/keep_awake.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

// A call that outlasts this is taken as a refusal rather than left hanging.
constexpr int kInhibitTimeoutMs = 5000;

QDBusMessage inhibitCall() {
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("idle") << QStringLiteral("Vantrel Agent")
         << QStringLiteral("Vantrel Agent is reading your solar") << QStringLiteral("block");
    return call;
}

// Held means the descriptor the login manager handed out is open; closing it ends the lock.
class InhibitorLock final : public KeepAwake {
  public:
    void hold(Answer answer) override {
        if (held_.valid() || asking_) {
            return;
        }
        auto bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            answerLater(std::move(answer), false);
            return;
        }
        asking_ = true;
        auto* watcher =
            new QDBusPendingCallWatcher(bus.asyncCall(inhibitCall(), kInhibitTimeoutMs), &context_);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_,
                         [this, request = request_,
                          answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                             finished->deleteLater();
                             if (request == request_) {
                                 take(QDBusPendingReply<QDBusUnixFileDescriptor>(*finished));
                                 answer(held_.valid());
                             }
                         });
    }

    void release() override {
        ++request_;
        asking_ = false;
        held_.reset();
    }

    bool isHeld() const override { return held_.valid(); }

  private:
    void take(const QDBusPendingReply<QDBusUnixFileDescriptor>& reply) {
        asking_ = false;
        if (reply.isValid() && reply.value().isValid()) {
            // The reply owns its copy and closes it; ours lives as long as the lock.
            held_.reset(::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0));
        }
    }

    // The answer never runs inside hold(), so callers see one order whatever the bus does.
    void answerLater(Answer answer, bool held) {
        QMetaObject::invokeMethod(
            &context_, [answer = std::move(answer), held] { answer(held); }, Qt::QueuedConnection);
    }

    // Parent and connection context of the pending calls: they die with the lock.
    QObject context_;
    UniqueFd held_;
    bool asking_ = false;
    std::uint64_t request_ = 0;
};

}  // namespace

std::unique_ptr<KeepAwake> makeKeepAwake() {
    return std::make_unique<InhibitorLock>();
}

}  // namespace vantrel
