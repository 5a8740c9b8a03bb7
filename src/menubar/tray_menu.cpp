#include "menubar/tray_menu.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QWidget>

#include "menubar/menu_keys.h"

namespace vantrel {
namespace {

QAction* actionFor(QMenu& menu, const MenuRow& row) {
    if (row.kind == MenuRow::Kind::separator) {
        return menu.addSeparator();
    }
    QAction* action = menu.addAction(QString());
    action->setCheckable(row.kind == MenuRow::Kind::toggle);
    action->setShortcut(rowKeySequence(row.key));
    return action;
}

// The tray's own widget for an icon docked by XEmbed: a frameless window the window manager
// never manages.
bool isDockedIconWidget(QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    return widget && widget->isWindow() && widget->windowType() == Qt::Window &&
           widget->windowFlags().testFlag(Qt::BypassWindowManagerHint);
}

constexpr const char* kWatcherPath = "/StatusNotifierWatcher";

}  // namespace

TrayMenu::TrayMenu(QObject* parent) : QObject(parent) {}

// The icon goes first: it refers to the menu.
TrayMenu::~TrayMenu() {
    qApp->removeEventFilter(this);
    icon_.reset();
}

void TrayMenu::show(const std::vector<MenuRow>& rows) {
    menu_ = std::make_unique<QMenu>();
    for (const auto& row : rows) {
        QAction* action = actionFor(*menu_, row);
        if (row.command) {
            connect(action, &QAction::triggered, this,
                    [this, command = *row.command] { emit chosen(command); });
        }
        actions_.push_back(action);
    }
    render(rows);
    connect(menu_.get(), &QMenu::aboutToShow, this, &TrayMenu::aboutToOpen);
    menu_->installEventFilter(this);
    qApp->installEventFilter(this);
    // The toolkit picks the tray's protocol once, when the first icon is made: on X11 a tray of
    // either kind may come later, elsewhere only a StatusNotifier host can take the icon.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        createIcon();
    }
    watchForHosts();
}

// A host that registers later takes the icon from then on; one that leaves gives the status window
// back. Whether one runs now is asked once, at the start, as the toolkit itself does.
void TrayMenu::watchForHosts() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    hosts_ = std::make_unique<QDBusServiceWatcher>(
        QString::fromLatin1(kWatcherService), bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    connect(hosts_.get(), &QDBusServiceWatcher::serviceRegistered, this, [this, bus] {
        // The registry may come up before its host: the host's arrival is announced.
        auto call = bus.asyncCall(
            QDBusMessage::createMethodCall(
                QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"))
            << QString::fromLatin1(kWatcherService)
            << QStringLiteral("IsStatusNotifierHostRegistered"));
        auto* watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* finished) {
                    finished->deleteLater();
                    QDBusPendingReply<QDBusVariant> reply(*finished);
                    if (reply.isValid() && reply.value().variant().toBool()) {
                        hostAppeared();
                    }
                });
    });
    connect(hosts_.get(), &QDBusServiceWatcher::serviceUnregistered, this, &TrayMenu::undocked);
    bus.connect(QString(), QString::fromLatin1(kWatcherPath), QString::fromLatin1(kWatcherService),
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostAppeared()));
    if (!icon_ && bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcherService))) {
        createIcon();
    }
}

void TrayMenu::hostAppeared() {
    if (!icon_) {
        createIcon();
    }
    if (isDocked()) {
        emit docked();
    }
}

void TrayMenu::createIcon() {
    icon_ = std::make_unique<QSystemTrayIcon>(picture_);
    icon_->setToolTip(toolTip_);
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayMenu::activated);
    icon_->show();
}

void TrayMenu::setLook(const QIcon& icon, const QString& toolTip) {
    picture_ = icon;
    toolTip_ = toolTip;
    if (icon_) {
        icon_->setIcon(icon);
        icon_->setToolTip(toolTip);
    }
}

void TrayMenu::render(const std::vector<MenuRow>& rows) {
    for (std::size_t i = 0; i < rows.size() && i < actions_.size(); ++i) {
        const MenuRow& row = rows[i];
        QAction* action = actions_[i];
        if (row.kind != MenuRow::Kind::separator) {
            // Shown as written: a "&" in the agent's words is no shortcut marker.
            action->setText(QString::fromStdString(row.title).replace('&', QStringLiteral("&&")));
            action->setEnabled(row.enabled);
            action->setChecked(row.checked);
        }
        action->setVisible(row.visible);
    }
    keepOnScreen();
}

bool TrayMenu::isDocked() const {
    return icon_ && QSystemTrayIcon::isSystemTrayAvailable();
}

// An X11 tray places the menu under a left click and opens the context menu itself. A
// StatusNotifier host gives no place: its activation and a context menu it does not draw show the
// status window.
void TrayMenu::activated(QSystemTrayIcon::ActivationReason reason) {
    bool placed = !icon_->geometry().isEmpty();
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        if (placed) {
            menu_->popup(QCursor::pos());
        } else {
            emit windowWanted();
        }
    } else if (reason == QSystemTrayIcon::Context && !placed) {
        emit windowWanted();
    }
}

// A row that appears while the menu is open grows it downwards; it moves up to stay whole.
void TrayMenu::keepOnScreen() {
    if (!menu_->isVisible()) {
        return;
    }
    QScreen* screen = menu_->screen();
    QRect area = screen ? screen->availableGeometry() : QRect();
    QRect wanted(menu_->pos(), menu_->sizeHint());
    if (area.isValid() && wanted.bottom() > area.bottom()) {
        wanted.moveBottom(area.bottom());
    }
    menu_->setGeometry(wanted);
}

bool TrayMenu::eventFilter(QObject* watched, QEvent* event) {
    // The menu holds the keyboard while open, so the rows' keys would otherwise go nowhere.
    if (watched == menu_.get() && event->type() == QEvent::KeyPress) {
        if (char letter = controlLetter(*static_cast<QKeyEvent*>(event)); letter != 0) {
            menu_->hide();
            emit controlKey(letter);
            return true;
        }
    }
    // An XEmbed tray that goes away takes the icon with it; one that comes back docks it again.
    if (event->type() == QEvent::Show && isDockedIconWidget(watched)) {
        emit docked();
    } else if (event->type() == QEvent::Hide && isDockedIconWidget(watched)) {
        emit undocked();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vantrel
