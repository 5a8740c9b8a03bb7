#include "menubar/notices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QTimer>
#include <QVariantMap>

#include <chrono>

namespace vantrel {
namespace {

// A service that does not answer within this is taken as absent.
constexpr int kNotifyTimeoutMs = 3000;

QDBusMessage notifyCall(const NoticeText& text) {
    auto call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("/org/freedesktop/Notifications"),
                                               QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("Notify"));
    // Application, no notice replaced, the application's icon, texts, no actions, the menu entry
    // it belongs to, the service's own expiry.
    call << QStringLiteral("Vantrel Agent") << 0u << QStringLiteral("vantrel-agent")
         << QString::fromStdString(text.summary) << QString::fromStdString(text.body)
         << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("vantrel-agent")}} << -1;
    return call;
}

}  // namespace

Notices::Notices(Clock clock) : clock_(std::move(clock)) {}

void Notices::raise(Notice notice, std::function<void()> then) {
    auto done = [then = std::move(then)] {
        if (then) {
            then();
        }
    };
    auto bus = QDBusConnection::sessionBus();
    if (!spacing_.admit(notice, clock_()) || !bus.isConnected()) {
        QTimer::singleShot(0, &context_, done);
        return;
    }
    auto* call = new QDBusPendingCallWatcher(
        bus.asyncCall(notifyCall(noticeText(notice)), kNotifyTimeoutMs), &context_);
    QObject::connect(call, &QDBusPendingCallWatcher::finished, &context_,
                     [done](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         done();
                     });
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vantrel
