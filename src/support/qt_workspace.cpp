#include "support/qt_workspace.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace vantrel {
namespace {

void openFolder(const std::filesystem::path& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

}  // namespace

void QtWorkspace::openUrl(const std::string& url) {
    QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
}

void QtWorkspace::revealFile(const std::filesystem::path& file) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder(file.parent_path());
        return;
    }
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("/org/freedesktop/FileManager1"),
                                                  QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("ShowItems"));
    auto uri =
        QUrl::fromLocalFile(QString::fromStdString(file.string())).toString(QUrl::FullyEncoded);
    message << QStringList{uri} << QString();
    // Asynchronous, so that a slow or absent file manager never blocks the main thread.
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(message), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder = file.parent_path()](QDBusPendingCallWatcher* call) {
                         if (call->isError()) {
                             openFolder(folder);
                         }
                         call->deleteLater();
                     });
}

}  // namespace vantrel
