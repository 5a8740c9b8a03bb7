#include "menubar/tray_menu.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
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

}  // namespace

TrayMenu::TrayMenu(QObject* parent) : QObject(parent) {}

// The icon goes first: it refers to the menu.
TrayMenu::~TrayMenu() {
    icon_.reset();
}

void TrayMenu::show(const QIcon& icon, const std::vector<MenuRow>& rows) {
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

    icon_ = std::make_unique<QSystemTrayIcon>(icon);
    icon_->setToolTip(QStringLiteral("Vantrel Agent"));
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayMenu::activated);
    icon_->show();
}

void TrayMenu::render(const std::vector<MenuRow>& rows) {
    for (std::size_t i = 0; i < rows.size() && i < actions_.size(); ++i) {
        const MenuRow& row = rows[i];
        QAction* action = actions_[i];
        if (row.kind != MenuRow::Kind::separator) {
            action->setText(QString::fromStdString(row.title));
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

// A left click (XEmbed) or an activation (StatusNotifier) opens the menu where the pointer is;
// a right-click opens it through the context menu.
void TrayMenu::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        menu_->popup(QCursor::pos());
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
    if (event->type() == QEvent::Show && isDockedIconWidget(watched)) {
        emit docked();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vantrel
