#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>
#include <vector>

#include "menubar/status_menu_model.h"

class QAction;
class QDBusServiceWatcher;
class QMenu;

namespace vantrel {

// The tray icon and its menu, drawn from the status menu's rows. The menu is the icon's context
// menu: a tray that draws menus itself gets it over D-Bus. Where the tray says where the icon sits
// (an X11 tray), a click opens the menu there; a tray that does not (a StatusNotifier host, whose
// pointer position a Wayland client cannot know) asks for the status window instead, for a left
// click and for a context menu it does not draw itself. The rows' keys work while the menu is open.
class TrayMenu final : public QObject {
    Q_OBJECT

  public:
    // The bus name of the StatusNotifier hosts' registry.
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

    explicit TrayMenu(QObject* parent = nullptr);
    ~TrayMenu() override;

    // Builds the menu of these rows (their number and order are kept from here on) and shows the
    // icon where a tray can take it: at once on X11, on a StatusNotifier host once one runs.
    void show(const std::vector<MenuRow>& rows);
    void render(const std::vector<MenuRow>& rows);
    // The icon's look, before show() or at any time: a picture for the agent's state and the
    // state line as its tooltip.
    void setLook(const QIcon& icon, const QString& toolTip);
    // True once the icon sits in a tray; false before show() or when no tray host is there.
    bool isDocked() const;

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* icon() const { return icon_.get(); }

    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    void aboutToOpen();
    void chosen(MenuCommand command);
    void controlKey(char key);
    // The tray asks for the status window: it cannot place a menu itself.
    void windowWanted();
    // A tray host has taken the icon (also one that started after the application).
    void docked();
    // The tray went away: the StatusNotifier host, or the XEmbed tray holding the icon.
    void undocked();

  private slots:
    // A StatusNotifier host runs now (it may have started after the application).
    void hostAppeared();

  private:
    void watchForHosts();
    void createIcon();
    void activated(QSystemTrayIcon::ActivationReason reason);
    void keepOnScreen();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QDBusServiceWatcher> hosts_;
    std::vector<QAction*> actions_;
    QIcon picture_;
    QString toolTip_ = QStringLiteral("Vantrel Agent");
};

}  // namespace vantrel
