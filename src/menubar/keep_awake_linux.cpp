#include <fcntl.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>

#include "menubar/keep_awake.h"
#include "menubar/keep_awake_route.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

// A call that outlasts this is taken as a refusal rather than left hanging.
constexpr int kInhibitTimeoutMs = 5000;

constexpr const char* kReason = "Vantrel Agent is reading your solar";
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
// The portal's flag for suspending: the aim is a computer that keeps running, not a lit screen.
constexpr uint kInhibitSuspend = 4;

QDBusMessage portalInhibitCall() {
    auto call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kPortal), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    // No parent window: the request is the application's, not a window's.
    call << QString() << kInhibitSuspend
         << QVariantMap{{QStringLiteral("reason"), QString::fromLatin1(kReason)}};
    return call;
}

// Ends a portal request: the portal lets the computer sleep again.
void closeRequest(const QDBusObjectPath& request) {
    QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
        QString::fromLatin1(kPortal), request.path(),
        QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close")));
}

QDBusMessage inhibitCall() {
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("idle") << QStringLiteral("Vantrel Agent")
         << QString::fromLatin1(kReason) << QStringLiteral("block");
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

// The desktop portal's inhibit, which desktops honour; the login manager's lock where no portal
// runs (no session bus, a bare window manager). Held means the portal's request is open; closing
// it lets go. A refusal by a running portal is final: the login manager is not asked behind its
// back.
class PortalInhibit final : public KeepAwake {
  public:
    void hold(Answer answer) override {
        if (isHeld() || call_) {
            return;
        }
        auto bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            loginManager_.hold(std::move(answer));
            return;
        }
        call_ = std::make_unique<QDBusPendingCallWatcher>(
            bus.asyncCall(portalInhibitCall(), kInhibitTimeoutMs));
        QObject::connect(call_.get(), &QDBusPendingCallWatcher::finished, &context_,
                         [this, generation = generation_,
                          answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                             QDBusPendingReply<QDBusObjectPath> reply(*finished);
                             call_.release()->deleteLater();
                             take(reply, generation, answer);
                         });
    }

    void release() override {
        ++generation_;
        if (request_) {
            closeRequest(*request_);
            request_.reset();
        }
        loginManager_.release();
    }

    bool isHeld() const override { return request_.has_value() || loginManager_.isHeld(); }

  private:
    void take(const QDBusPendingReply<QDBusObjectPath>& reply, std::uint64_t generation,
              const Answer& answer) {
        auto verdict = portalAnswer(reply.isError() ? reply.error().name().toStdString() : "");
        if (generation != generation_) {
            // Released while asking: a late grant is let go at once, and nobody is answered.
            if (verdict == PortalAnswer::held) {
                closeRequest(reply.value());
            }
            return;
        }
        if (verdict == PortalAnswer::absent) {
            return loginManager_.hold(answer);
        }
        if (verdict == PortalAnswer::held) {
            request_ = reply.value();
        }
        // As the login manager's lock answers: on a later turn, and not once released.
        QTimer::singleShot(0, &context_, [this, generation, answer, held = request_.has_value()] {
            if (generation == generation_) {
                answer(held);
            }
        });
    }

    QObject context_;
    InhibitorLock loginManager_;
    std::unique_ptr<QDBusPendingCallWatcher> call_;
    std::optional<QDBusObjectPath> request_;
    std::uint64_t generation_ = 0;
};

}  // namespace

std::unique_ptr<KeepAwake> makeKeepAwake() {
    return std::make_unique<PortalInhibit>();
}

}  // namespace vantrel
