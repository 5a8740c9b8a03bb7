#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent_state.h"
#include "support/build.h"

namespace vantrel {

// What a row asks the status menu to do.
enum class MenuCommand {
    openSetupPage,
    restart,
    showLog,
    openNetworkSettings,
    runDiagnostics,
    checkForUpdates,
    toggleLogin,
    toggleAwake,
    quit,
};

// One row as every view shows it: the tray menu draws it as a menu item, the status window as a
// label, button or check box.
struct MenuRow {
    enum class Kind { line, command, toggle, separator };

    Kind kind = Kind::line;
    std::string title;
    std::optional<MenuCommand> command;
    char key = 0;  // with Control (Command where there is one); 0 for none
    bool enabled = true;
    bool visible = true;
    bool checked = false;

    friend bool operator==(const MenuRow&, const MenuRow&) = default;
};

// The status menu's rows and what gates them: the test-build line only in test builds, the
// warning line only while the last probe said blocked, the check marks as last read. The number
// and order of rows never change after construction, so views update rows in place.
class StatusMenuModel {
  public:
    explicit StatusMenuModel(Build build);

    const Build& build() const { return build_; }
    const std::vector<MenuRow>& rows() const { return rows_; }

    void setState(const AgentState& state);
    // The warning keeps its title once shown; hiding it only hides it.
    void setWarning(bool shown);
    // As read back from the system at each opening: a refused keep-awake reads as off.
    void setChecks(bool loginEnabled, bool awakeHeld);

    // The command of the visible, enabled row whose key is Control with `key`, if any.
    std::optional<MenuCommand> commandForKey(char key) const;

  private:
    std::size_t add(MenuRow row);

    Build build_;
    std::vector<MenuRow> rows_;
    std::size_t state_;
    std::size_t warning_;
    std::size_t login_;
    std::size_t awake_;
};

}  // namespace vantrel
