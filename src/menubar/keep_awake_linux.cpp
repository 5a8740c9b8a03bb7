#include <fcntl.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <cstdint>
#include <memory>

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

// Held means the descriptor the login manager handed out is open; closing it ends the lock. The
// pending call keeps a copy of the reply (and its descriptor), so it is dropped on release too.
class InhibitorLock final : public KeepAwake {
  public:
    void hold(Answer answer) override {
        if (held_.valid() || call_) {
            return;
        }
        auto bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            answerLater(std::move(answer), false);
            return;
        }
        call_ = std::make_unique<QDBusPendingCallWatcher>(
            bus.asyncCall(inhibitCall(), kInhibitTimeoutMs));
        // The watcher is the connection's context: a released request never answers.
        QObject::connect(call_.get(), &QDBusPendingCallWatcher::finished, call_.get(),
                         [this, answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                             take(QDBusPendingReply<QDBusUnixFileDescriptor>(*finished));
                             answerLater(answer, held_.valid());
                         });
    }

    void release() override {
        ++generation_;
        call_.reset();
        held_.reset();
    }

    bool isHeld() const override { return held_.valid(); }

  private:
    void take(const QDBusPendingReply<QDBusUnixFileDescriptor>& reply) {
        if (reply.isValid() && reply.value().isValid()) {
            held_.reset(::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0));
        }
    }

    // Answers run on a later turn of the loop, never inside hold() or the bus's callback, and
    // not at all once released.
    void answerLater(Answer answer, bool held) {
        QMetaObject::invokeMethod(
            &context_,
            [this, generation = generation_, answer = std::move(answer), held] {
                if (generation == generation_) {
                    call_.reset();
                    answer(held);
                }
            },
            Qt::QueuedConnection);
    }

    QObject context_;  // the queued answers die with the lock
    std::unique_ptr<QDBusPendingCallWatcher> call_;
    UniqueFd held_;
    std::uint64_t generation_ = 0;
};

}  // namespace

std::unique_ptr<KeepAwake> makeKeepAwake() {
    return std::make_unique<InhibitorLock>();
}

}  // namespace vantrel
