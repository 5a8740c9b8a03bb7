#include "menubar/status_menu.h"

#include <QCoreApplication>
#include <QPointer>

#include "menubar/local_network.h"
#include "menubar/status_icon.h"
#include "support/build.h"
#include "support/bundle.h"
#include "support/paths.h"
#include "support/platform_words.h"
#include "update/update_alerts.h"

namespace vantrel {
namespace {

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

QKeySequence command(Qt::Key key) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier, key));
}

QAction* disabledLine(QObject* owner, const QString& title) {
    auto* line = new QAction(title, owner);
    line->setEnabled(false);
    return line;
}

QAction* checkable(QObject* owner, const QString& title) {
    auto* item = new QAction(title, owner);
    item->setCheckable(true);
    return item;
}

}  // namespace

BuildFlavour BuildFlavour::ofThisBundle() {
    return {.isProduction = Build::isProduction(), .apiLabel = Build::apiLabel()};
}

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
      build_(std::move(parts.build)),
      statusItem_(disabledLine(this, qt(AgentState::starting().menuText()))),
      networkItem_(new QAction(this)),
      awakeItem_(checkable(this, QString::fromUtf8(platform_words::kKeepAwake))),
      loginItem_(checkable(this, QStringLiteral("Start at login"))) {
    networkItem_->setVisible(false);
    connect(networkItem_, &QAction::triggered, this, &StatusMenu::openNetworkSettings);
    connect(awakeItem_, &QAction::triggered, this, &StatusMenu::toggleAwake);
    connect(loginItem_, &QAction::triggered, this, &StatusMenu::toggleLogin);
}

// The tray icon goes first: it refers to the menu.
StatusMenu::~StatusMenu() {
    item_.reset();
}

void StatusMenu::start() {
    item_ = std::make_unique<QSystemTrayIcon>(statusIcon(bundle::resources() / "menubar.png"));
    item_->setToolTip(QStringLiteral("Vantrel Agent"));
    connect(&menu_, &QMenu::aboutToShow, this, &StatusMenu::menuWillOpen);
    fillMenu();
    item_->setContextMenu(&menu_);
    item_->show();

    agent_->setOnState([self = QPointer(this)](const AgentState& state) {
        if (self) {
            self->statusItem_->setText(qt(state.menuText()));
        }
    });
    agent_->start();
    if (build_.isProduction) {
        updater_->startPeriodicChecks();
    }
    if (settings_->value(kKeepAwakeKey, false).toBool()) {
        setAwake(true);
    }
}

void StatusMenu::fillMenu() {
    menu_.addAction(statusItem_);
    if (!build_.isProduction) {
        menu_.addAction(disabledLine(this, qt("⚠︎ Test build — " + build_.apiLabel)));
    }
    menu_.addAction(networkItem_);
    menu_.addSeparator();
    addCommand(QStringLiteral("Open Vantrel Agent"), &StatusMenu::openSetupPage,
               command(Qt::Key_O));
    addCommand(QStringLiteral("Restart agent"), &StatusMenu::restart);
    addCommand(QStringLiteral("Show log"), &StatusMenu::showLog);
    addCommand(QStringLiteral("Run diagnostics…"), &StatusMenu::runDiagnostics);
    addCommand(QStringLiteral("Check for updates…"), &StatusMenu::checkForUpdates);
    menu_.addSeparator();
    menu_.addAction(loginItem_);
    menu_.addAction(awakeItem_);
    menu_.addSeparator();
    addCommand(QStringLiteral("Quit Vantrel Agent"), &StatusMenu::quit, command(Qt::Key_Q));
}

QAction* StatusMenu::addCommand(const QString& title, void (StatusMenu::*action)(),
                                const QKeySequence& key) {
    QAction* item = menu_.addAction(title);
    item->setShortcut(key);
    connect(item, &QAction::triggered, this, action);
    return item;
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

void StatusMenu::menuWillOpen() {
    loginItem_->setChecked(login_->isEnabled());
    awakeItem_->setChecked(keepAwake_->isHeld());
    // The line keeps its last title when hidden; every opening probes, and the last answer wins.
    networkWarning_->check([item = QPointer<QAction>(networkItem_)](bool show) {
        if (!item) {
            return;
        }
        if (show) {
            item->setText(QString::fromUtf8(NetworkWarning::kTitle));
        }
        item->setVisible(show);
    });
}

void StatusMenu::openSetupPage() {
    setup_->show();
}

void StatusMenu::restart() {
    agent_->restartNow();
}

// Reveals the log in the file manager; the file is neither opened nor created.
void StatusMenu::showLog() {
    workspace_->revealFile(Paths::log());
}

void StatusMenu::openNetworkSettings() {
    LocalNetwork::openSettings();
}

void StatusMenu::runDiagnostics() {
    diagnostics_->show();
}

// A test build never updates itself: it would be replaced by the production app.
void StatusMenu::checkForUpdates() {
    if (!build_.isProduction) {
        auto alert = testBuildAlert(build_.apiLabel);
        alerts_->show(alert.message, alert.informative);
        return;
    }
    updater_->check(true, [alerts = alerts_](const UpdateResult& result) {
        auto alert = resultAlert(result);
        alerts->show(alert.message, alert.informative);
    });
}

void StatusMenu::toggleLogin() {
    auto failure = login_->isEnabled() ? login_->disable() : login_->enable();
    if (failure) {
        alerts_->show("Could not change the login item",
                      *failure +
                          "\n\nThis usually means Vantrel Agent "
                          "is not in your Applications folder. Move it there and try again.");
    }
}

void StatusMenu::toggleAwake() {
    setAwake(!keepAwake_->isHeld());
}

void StatusMenu::quit() {
    QCoreApplication::quit();
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
}

}  // namespace vantrel
