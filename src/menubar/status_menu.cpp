#include "menubar/status_menu.h"

#include <QCoreApplication>
#include <QPointer>

#include "menubar/status_icon.h"
#include "support/build.h"
#include "support/bundle.h"
#include "support/paths.h"

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
      setup_(std::move(parts.setup)),
      keepAwake_(std::move(parts.keepAwake)),
      login_(std::move(parts.loginItem)),
      settings_(std::move(parts.settings)),
      alerts_(std::move(parts.alerts)),
      workspace_(std::move(parts.workspace)),
      build_(std::move(parts.build)),
      statusItem_(disabledLine(this, qt(AgentState::starting().menuText()))),
      awakeItem_(checkable(this, QStringLiteral("Keep this Mac awake"))),
      loginItem_(checkable(this, QStringLiteral("Start at login"))) {
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
    // The periodic update checks of production builds start here.
    if (settings_->value(kKeepAwakeKey, false).toBool()) {
        setAwake(true);
    }
}

void StatusMenu::fillMenu() {
    menu_.addAction(statusItem_);
    if (!build_.isProduction) {
        menu_.addAction(disabledLine(this, qt("⚠︎ Test build — " + build_.apiLabel)));
    }
    // The local-network warning line (hidden until a probe finds access blocked) goes here.
    menu_.addSeparator();
    addCommand(QStringLiteral("Open Vantrel Agent"), &StatusMenu::openSetupPage,
               command(Qt::Key_O));
    addCommand(QStringLiteral("Restart agent"), &StatusMenu::restart);
    addCommand(QStringLiteral("Show log"), &StatusMenu::showLog);
    // "Run diagnostics…" and "Check for updates…" go here.
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
    // The local-network probe for the warning line starts here.
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
