#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

#include <set>
#include <string>
#include <vector>

// Desktop services that the tests serve themselves, each on a connection of its own to a bus the
// test chose, answering in this process's main loop.
namespace vantrel::testing {

// A connection of its own to the bus at `address`, serving the slots of `object` at `path`.
inline QDBusConnection serve(QObject* object, const std::string& address, const QString& path) {
    auto bus = QDBusConnection::connectToBus(QString::fromStdString(address),
                                             path + " on " + QString::fromStdString(address));
    bus.registerObject(path, object, QDBusConnection::ExportAllSlots);
    return bus;
}

// A request the portal granted: open until its Close.
class FakeRequest final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")

  public:
    FakeRequest(QObject* owner, std::set<std::string>& open, std::string path)
        : QObject(owner), open_(open), path_(std::move(path)) {}

  public slots:
    void Close() { open_.erase(path_); }

  private:
    std::set<std::string>& open_;
    std::string path_;
};

// The desktop portal's Inhibit, served once `run()`.
class FakePortal final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")

  public:
    explicit FakePortal(const std::string& address)
        : bus_(serve(this, address, "/org/freedesktop/portal/desktop")) {}
    bool run() { return bus_.registerService("org.freedesktop.portal.Desktop"); }

    bool refuses = false;
    std::vector<std::string> requests;  // window|flags|reason
    std::set<std::string> open;         // the requests granted and not yet closed

  public slots:
    QDBusObjectPath Inhibit(const QString& window, uint flags, const QVariantMap& options) {
        requests.push_back(window.toStdString() + "|" + std::to_string(flags) + "|" +
                           options.value("reason").toString().toStdString());
        if (refuses) {
            sendErrorReply("org.freedesktop.portal.Error.NotAllowed", "Not allowed");
            return {};
        }
        auto path = "/org/freedesktop/portal/desktop/request/t" + std::to_string(requests.size());
        bus_.registerObject(QString::fromStdString(path), new FakeRequest(this, open, path),
                            QDBusConnection::ExportAllSlots);
        open.insert(path);
        return QDBusObjectPath(QString::fromStdString(path));
    }

  private:
    QDBusConnection bus_;
};

// The desktop's notification service once `run()`: records each notice.
class FakeNotifications final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

  public:
    explicit FakeNotifications(const std::string& address)
        : bus_(serve(this, address, "/org/freedesktop/Notifications")) {}
    bool run() { return bus_.registerService("org.freedesktop.Notifications"); }

    std::vector<std::string> shown;  // summary|body|application|icon|desktop entry

  public slots:
    uint Notify(const QString& application, uint, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        shown.push_back(
            (QStringList{summary, body, application, icon, hints.value("desktop-entry").toString()})
                .join('|')
                .toStdString());
        return static_cast<uint>(shown.size());
    }

  private:
    QDBusConnection bus_;
};

}  // namespace vantrel::testing
