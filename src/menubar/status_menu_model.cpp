#include "menubar/status_menu_model.h"

#include "menubar/network_warning.h"
#include "support/build.h"
#include "support/platform_words.h"

namespace vantrel {
namespace {

using Kind = MenuRow::Kind;

MenuRow line(std::string title) {
    MenuRow row;
    row.title = std::move(title);
    row.enabled = false;
    return row;
}

MenuRow command(std::string title, MenuCommand command, char key = 0, Kind kind = Kind::command) {
    MenuRow row;
    row.kind = kind;
    row.title = std::move(title);
    row.command = command;
    row.key = key;
    return row;
}

MenuRow toggle(std::string title, MenuCommand command) {
    return vantrel::command(std::move(title), command, 0, Kind::toggle);
}

MenuRow separator() {
    MenuRow row;
    row.kind = Kind::separator;
    return row;
}

}  // namespace

StatusMenuModel::StatusMenuModel(Build build) : build_(std::move(build)) {
    state_ = add(line(AgentState::starting().menuText()));
    if (!build_.isProduction()) {
        add(line("⚠︎ Test build — " + build_.apiLabel()));
    }
    MenuRow warning = command("", MenuCommand::openNetworkSettings);
    warning.visible = false;
    warning_ = add(warning);
    add(separator());
    add(command("Open Vantrel Agent", MenuCommand::openSetupPage, 'o'));
    add(command("Restart agent", MenuCommand::restart));
    add(command("Show log", MenuCommand::showLog));
    add(command("Run diagnostics…", MenuCommand::runDiagnostics));
    add(command("Check for updates…", MenuCommand::checkForUpdates));
    add(separator());
    login_ = add(toggle("Start at login", MenuCommand::toggleLogin));
    awake_ = add(toggle(platform_words::kKeepAwake, MenuCommand::toggleAwake));
    add(separator());
    add(command("Quit Vantrel Agent", MenuCommand::quit, 'q'));
}

std::size_t StatusMenuModel::add(MenuRow row) {
    rows_.push_back(std::move(row));
    return rows_.size() - 1;
}

void StatusMenuModel::setState(const AgentState& state) {
    rows_[state_].title = state.menuText();
}

void StatusMenuModel::setWarning(bool shown) {
    if (shown) {
        rows_[warning_].title = NetworkWarning::kTitle;
    }
    rows_[warning_].visible = shown;
}

void StatusMenuModel::setChecks(bool loginEnabled, bool awakeHeld) {
    rows_[login_].checked = loginEnabled;
    rows_[awake_].checked = awakeHeld;
}

std::optional<MenuCommand> StatusMenuModel::commandForKey(char key) const {
    for (const auto& row : rows_) {
        if (key != 0 && row.key == key && row.visible && row.enabled) {
            return row.command;
        }
    }
    return std::nullopt;
}

}  // namespace vantrel
