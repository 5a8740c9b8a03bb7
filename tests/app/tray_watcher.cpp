#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>

#include <cstdio>

// A StatusNotifier panel's watcher, in a process of its own as on a desktop: items register here,
// and each registration is printed ("item :1.2/StatusNotifierItem") for the test that waits on it.
class Watcher final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    // What the toolkit asks before it takes the D-Bus way.
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

  public:
    bool isHostRegistered() const { return true; }

  public slots:
    // An item names its service, or only its path and is then known by the sender's name.
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
        const QString item = isPath ? message().service() + serviceOrPath
                                    : serviceOrPath + QStringLiteral("/StatusNotifierItem");
        std::printf("item %s\n", qPrintable(item));
        std::fflush(stdout);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllContents) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::printf("failed: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "tray_watcher.moc"
