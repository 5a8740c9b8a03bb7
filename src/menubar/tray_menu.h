#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>
#include <vector>

#include "menubar/status_menu_model.h"

class QAction;
class QMenu;

namespace vantrel {

// The tray icon and its drop-down menu, drawn from the status menu's rows. A click or an
// activation opens the menu as a right-click does; the rows' keys work while it is open.
class TrayMenu final : public QObject {
    Q_OBJECT

  public:
    explicit TrayMenu(QObject* parent = nullptr);
    ~TrayMenu() override;

    // Shows the icon with a menu of these rows; the rows' number and order are kept from here on.
    void show(const QIcon& icon, const std::vector<MenuRow>& rows);
    void render(const std::vector<MenuRow>& rows);
    // True once the icon sits in a tray; false before show() or when no tray host is there.
    bool isDocked() const;

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* icon() const { return icon_.get(); }

    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    void aboutToOpen();
    void chosen(MenuCommand command);
    void controlKey(char key);
    // A tray host has taken the icon (also one that started after the application).
    void docked();

  private:
    void activated(QSystemTrayIcon::ActivationReason reason);
    void keepOnScreen();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::vector<QAction*> actions_;
};

}  // namespace vantrel
