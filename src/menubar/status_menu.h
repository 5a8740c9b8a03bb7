#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSettings>
#include <QSystemTrayIcon>

#include <memory>
#include <string>

#include "agent/agent_process.h"
#include "diagnostics/diagnostics_window.h"
#include "menubar/keep_awake.h"
#include "menubar/login_item.h"
#include "menubar/network_warning.h"
#include "setup/setup_window.h"
#include "support/alerts.h"
#include "support/workspace.h"
#include "update/updater.h"

namespace vantrel {

// Which cloud this build talks to, as the menu shows it.
struct BuildFlavour {
    bool isProduction = true;
    std::string apiLabel;

    static BuildFlavour ofThisBundle();
};

// The hub of the tray application: the tray icon and its menu, and for the life of the process
// the agent's supervisor, the updater, the setup and diagnostics windows, the local-network
// warning, keep-awake and the login item. Every menu command is one of its actions.
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
        std::unique_ptr<QSettings> settings;  // holds "KeepAwake"
        std::shared_ptr<Alerts> alerts;
        std::shared_ptr<Workspace> workspace;
        BuildFlavour build;
    };

    static constexpr const char* kKeepAwakeKey = "KeepAwake";

    // Nothing is shown or started until start().
    explicit StatusMenu(Parts parts, QObject* parent = nullptr);
    ~StatusMenu() override;

    // Shows the tray icon with the menu, follows the agent's state, starts the agent, starts the
    // periodic update checks of production builds and restores keep-awake. Called once.
    void start();
    // Stops the agent and lets go of keep-awake; the stored preference stays as it was, so that
    // keep-awake comes back with the next start. Later calls do nothing.
    void stop();
    void showSetupWindow();
    // Refreshes the check marks and starts a local-network probe for the warning line; runs each
    // time the menu is about to open.
    void menuWillOpen();

    QMenu* menuForTesting() { return &menu_; }
    QSystemTrayIcon* trayForTesting() const { return item_.get(); }
    SetupWindow* setupForTesting() const { return setup_.get(); }
    DiagnosticsWindow* diagnosticsForTesting() const { return diagnostics_.get(); }

  private:
    void fillMenu();
    QAction* addCommand(const QString& title, void (StatusMenu::*action)(),
                        const QKeySequence& key = {});

    void openSetupPage();
    void restart();
    void showLog();
    void openNetworkSettings();
    void runDiagnostics();
    void checkForUpdates();
    void toggleLogin();
    void toggleAwake();
    void quit();
    void setAwake(bool on);
    void storeAwake(bool held);

    std::unique_ptr<QSystemTrayIcon> item_;
    const std::shared_ptr<AgentProcess> agent_;
    const std::shared_ptr<Updater> updater_;
    const std::unique_ptr<SetupWindow> setup_;
    const std::unique_ptr<DiagnosticsWindow> diagnostics_;
    const std::unique_ptr<NetworkWarning> networkWarning_;
    const std::unique_ptr<KeepAwake> keepAwake_;
    const std::unique_ptr<LoginItem> login_;
    const std::unique_ptr<QSettings> settings_;
    const std::shared_ptr<Alerts> alerts_;
    const std::shared_ptr<Workspace> workspace_;
    const BuildFlavour build_;
    QMenu menu_;
    QAction* const statusItem_;
    QAction* const networkItem_;
    QAction* const awakeItem_;
    QAction* const loginItem_;
    bool stopped_ = false;
};

}  // namespace vantrel
