#pragma once

#include <QObject>
#include <QSettings>

#include <memory>

#include "agent/agent_process.h"
#include "diagnostics/diagnostics_window.h"
#include "menubar/keep_awake.h"
#include "menubar/login_item.h"
#include "menubar/network_warning.h"
#include "menubar/notices.h"
#include "menubar/status_menu_model.h"
#include "menubar/status_window.h"
#include "menubar/tray_look.h"
#include "menubar/tray_menu.h"
#include "setup/setup_window.h"
#include "support/alerts.h"
#include "support/workspace.h"
#include "update/updater.h"

namespace vantrel {

// The hub of the desktop application: the status menu's rows, drawn by the tray menu (or, with no
// tray, by a status window of its own), and for the life of the process the agent's supervisor,
// the updater, the setup and diagnostics windows, the local-network warning, keep-awake and the
// login item. Every row's command is one of its actions.
class StatusMenu final : public QObject {
    Q_OBJECT

  public:
    // What the menu works with; the application's own in production, stand-ins in tests.
    struct Parts {
        std::shared_ptr<AgentProcess> agent;
        std::shared_ptr<Updater> updater;
        std::unique_ptr<SetupWindow> setup;
        std::unique_ptr<DiagnosticsWindow> diagnostics;
        std::unique_ptr<NetworkWarning> networkWarning;
        std::unique_ptr<KeepAwake> keepAwake;
        std::unique_ptr<LoginItem> loginItem;
        std::shared_ptr<QSettings> settings;  // holds "KeepAwake"; shared with the windows
        std::shared_ptr<Alerts> alerts;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<Notices> notices;
        Build build;
        std::filesystem::path log;  // the agent's log, revealed by "Show Log"
    };

    static constexpr const char* kKeepAwakeKey = "KeepAwake";

    // Nothing is shown or started until start().
    explicit StatusMenu(Parts parts, QObject* parent = nullptr);
    ~StatusMenu() override;

    // Shows the tray icon with the menu (and the status window when no tray takes the icon),
    // follows the agent's state, starts the agent, starts the periodic update checks of
    // production builds and restores keep-awake. Called once.
    void start();
    // Stops the agent and lets go of keep-awake; the stored preference stays as it was, so that
    // keep-awake comes back with the next start. Later calls do nothing.
    void stop();
    void showSetupWindow();
    const SetupWindow& setupWindow() const { return *setup_; }
    // Without a tray the status window is the way to the application; with one this does nothing.
    void showStatusWindowWithoutTray();
    // Refreshes the check marks and starts a local-network probe for the warning line; runs each
    // time the menu is about to open or the status window comes to the front.
    void menuWillOpen();

    TrayMenu& trayForTesting() { return tray_; }
    QMenu* menuForTesting() const { return tray_.menu(); }
    StatusWindow& statusWindow() { return window_; }
    SetupWindow* setupForTesting() const { return setup_.get(); }
    DiagnosticsWindow* diagnosticsForTesting() const { return diagnostics_.get(); }

  private:
    void render();
    void follow(const AgentState& state);
    void showWarning(bool shown);
    void refreshChecks();
    void perform(MenuCommand command);
    void performKey(char key);

    void showLog();
    void checkForUpdates();
    void toggleLogin();
    void setAwake(bool on);
    void storeAwake(bool held);

    const std::shared_ptr<AgentProcess> agent_;
    const std::shared_ptr<Updater> updater_;
    const std::unique_ptr<SetupWindow> setup_;
    const std::unique_ptr<DiagnosticsWindow> diagnostics_;
    const std::unique_ptr<NetworkWarning> networkWarning_;
    const std::unique_ptr<KeepAwake> keepAwake_;
    const std::unique_ptr<LoginItem> login_;
    const std::shared_ptr<QSettings> settings_;
    const std::shared_ptr<Alerts> alerts_;
    const std::shared_ptr<Workspace> workspace_;
    const std::shared_ptr<Notices> notices_;
    const std::filesystem::path log_;
    StatusMenuModel model_;
    AgentState state_ = AgentState::starting();
    bool warning_ = false;
    RelaunchStreak relaunches_;
    TrayLook look_;
    TrayMenu tray_;
    StatusWindow window_;
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace vantrel
