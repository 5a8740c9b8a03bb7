#include "menubar/status_menu.h"

#include <QApplication>
#include <QPointer>

#include "menubar/local_network.h"
#include "menubar/status_icon.h"
#include "support/bundle.h"
#include "support/platform_words.h"
#include "update/update_alerts.h"

namespace vantrel {

StatusMenu::StatusMenu(Parts parts, QObject* parent)
    : QObject(parent),
      agent_(std::move(parts.agent)),
      updater_(std::move(parts.updater)),
      setup_(std::move(parts.setup)),
      diagnostics_(std::move(parts.diagnostics)),
      networkWarning_(std::move(parts.networkWarning)),
      keepAwake_(std::move(parts.keepAwake)),
      login_(std::move(parts.loginItem)),
      settings_(std::move(parts.settings)),
      alerts_(std::move(parts.alerts)),
      workspace_(std::move(parts.workspace)),
      notices_(std::move(parts.notices)),
      log_(std::move(parts.log)),
      model_(std::move(parts.build)) {
    connect(&tray_, &TrayMenu::aboutToOpen, this, &StatusMenu::menuWillOpen);
    connect(&window_, &StatusWindow::aboutToOpen, this, &StatusMenu::menuWillOpen);
    connect(&tray_, &TrayMenu::chosen, this, &StatusMenu::perform);
    connect(&window_, &StatusWindow::chosen, this, &StatusMenu::perform);
    connect(&tray_, &TrayMenu::controlKey, this, &StatusMenu::performKey);
    connect(&window_, &StatusWindow::controlKey, this, &StatusMenu::performKey);
    // A tray host that turns up later takes over from the window, and gives it back on leaving.
    connect(&tray_, &TrayMenu::docked, &window_, &StatusWindow::hide);
    connect(&tray_, &TrayMenu::undocked, this, [this] {
        if (started_) {
            window_.show(model_.rows());
        }
    });
    connect(&tray_, &TrayMenu::windowWanted, this, [this] { window_.show(model_.rows()); });
}

StatusMenu::~StatusMenu() = default;

void StatusMenu::start() {
    started_ = true;
    // Task switchers show the windows' icon: the application's.
    QApplication::setWindowIcon(themedIcon("vantrel-agent", bundle::resources() / "menubar.png"));
    look_ = trayLook(state_, warning_);
    tray_.setLook(themedIcon(look_.iconName, bundle::resources() / "menubar.png"),
                  QString::fromStdString(look_.toolTip));
    tray_.show(model_.rows());
    showStatusWindowWithoutTray();
    agent_->setOnState([self = QPointer(this)](const AgentState& state) {
        if (self) {
            self->follow(state);
        }
    });
    agent_->start();
    if (model_.build().isProduction()) {
        // An automatic check stays silent, unless a verified release could not be put in place:
        // then the user learns why this copy goes on as the version it is.
        updater_->reportAutomaticChecks([alerts = alerts_](const UpdateResult& result) {
            if (result.wasNotPutInPlace()) {
                auto alert = resultAlert(result);
                alerts->show(alert.message, alert.informative);
            }
        });
        updater_->startPeriodicChecks();
    }
    if (settings_->value(kKeepAwakeKey, false).toBool()) {
        setAwake(true);
    }
}

void StatusMenu::stop() {
    if (std::exchange(stopped_, true)) {
        return;
    }
    agent_->stop();
    keepAwake_->release();
}

void StatusMenu::showSetupWindow() {
    setup_->show();
}

void StatusMenu::showStatusWindowWithoutTray() {
    if (started_ && !tray_.isDocked()) {
        window_.show(model_.rows());
    }
}

void StatusMenu::menuWillOpen() {
    refreshChecks();
    // The line keeps its last title when hidden; every opening probes, and the last answer wins.
    networkWarning_->check([self = QPointer(this)](bool show) {
        if (self) {
            self->showWarning(show);
        }
    });
}

void StatusMenu::follow(const AgentState& state) {
    state_ = state;
    model_.setState(state);
    if (relaunches_.advance(state)) {
        notices_->raise(Notice::agentKeepsStopping);
    }
    render();
}

void StatusMenu::showWarning(bool shown) {
    if (shown && !warning_) {
        notices_->raise(Notice::networkWarning);
    }
    warning_ = shown;
    model_.setWarning(shown);
    render();
}

void StatusMenu::render() {
    tray_.render(model_.rows());
    window_.render(model_.rows());
    if (auto look = trayLook(state_, warning_); look != look_) {
        look_ = look;
        tray_.setLook(themedIcon(look.iconName, bundle::resources() / "menubar.png"),
                      QString::fromStdString(look.toolTip));
    }
}

void StatusMenu::refreshChecks() {
    model_.setChecks(login_->isEnabled(), keepAwake_->isHeld());
    render();
}

void StatusMenu::perform(MenuCommand command) {
    switch (command) {
        case MenuCommand::openSetupPage:
            return setup_->show();
        case MenuCommand::restart:
            return agent_->restartNow();
        case MenuCommand::showLog:
            return showLog();
        case MenuCommand::openNetworkSettings:
            return LocalNetwork::openSettings();
        case MenuCommand::runDiagnostics:
            return diagnostics_->show();
        case MenuCommand::checkForUpdates:
            return checkForUpdates();
        case MenuCommand::toggleLogin:
            return toggleLogin();
        case MenuCommand::toggleAwake:
            return setAwake(!keepAwake_->isHeld());
        case MenuCommand::quit:
            return QCoreApplication::quit();
    }
}

void StatusMenu::performKey(char key) {
    if (auto command = model_.commandForKey(key)) {
        perform(*command);
    }
}

// Reveals the log in the file manager; the file is neither opened nor created.
void StatusMenu::showLog() {
    workspace_->revealFile(log_);
}

// A test build never updates itself: it would be replaced by the production app.
void StatusMenu::checkForUpdates() {
    if (!model_.build().isProduction()) {
        auto alert = testBuildAlert(model_.build().apiLabel());
        alerts_->show(alert.message, alert.informative);
        return;
    }
    updater_->check([alerts = alerts_](const UpdateResult& result) {
        auto alert = resultAlert(result);
        alerts->show(alert.message, alert.informative);
    });
}

void StatusMenu::toggleLogin() {
    auto failure = login_->isEnabled() ? login_->disable() : login_->enable();
    refreshChecks();
    if (failure) {
        alerts_->show(
            "Could not change the login item",
            *failure + "\n\nThis usually means Vantrel Agent " + platform_words::kLoginItemHint);
    }
}

// What is stored is what is held once the system has answered, not what was asked for.
void StatusMenu::setAwake(bool on) {
    if (!on) {
        keepAwake_->release();
        storeAwake(false);
        return;
    }
    keepAwake_->hold([self = QPointer(this)](bool held) {
        if (self) {
            self->storeAwake(held);
        }
    });
}

void StatusMenu::storeAwake(bool held) {
    settings_->setValue(kKeepAwakeKey, held);
    settings_->sync();
    refreshChecks();
}

}  // namespace vantrel
