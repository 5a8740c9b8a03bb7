#include "menubar/status_menu_model.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

const BuildFlavour kTestBuild{.isProduction = false, .apiLabel = "127.0.0.1"};
const BuildFlavour kProduction{.isProduction = true, .apiLabel = "api.vantrel.energy"};
const std::string kWarning = "\u26A0\uFE0E Local network access looks blocked \u2014 fix\u2026";

// What a row shows, in one short line: kind and title, then "off" when disabled, "hidden",
// "[x]" when checked and "^o" for its key.
std::string shown(const MenuRow& row) {
    static const char* const kinds[] = {"line ", "command ", "toggle "};
    if (row.kind == MenuRow::Kind::separator) {
        return "-";
    }
    return kinds[static_cast<int>(row.kind)] + row.title + (row.enabled ? "" : " off") +
           (row.visible ? "" : " hidden") + (row.checked ? " [x]" : "") +
           (row.key ? std::string(" ^") + row.key : "");
}

// The state lines given, then the warning row and the commands, with the check marks of login and
// keep-awake ("x-": login on).
std::vector<std::string> with(std::vector<std::string> head, const std::string& warning,
                              const char* checks) {
    head.insert(
        head.end(),
        {warning, "-", "command Open Vantrel Agent ^o", "command Restart agent", "command Show log",
         "command Run diagnostics\u2026", "command Check for updates\u2026", "-",
         std::string("toggle Start at login") + (checks[0] == 'x' ? " [x]" : ""),
         std::string("toggle Keep this computer awake") + (checks[1] == 'x' ? " [x]" : ""), "-",
         "command Quit Vantrel Agent ^q"});
    return head;
}

TEST(StatusMenuModelTest, RowsAndTheirGating) {
    const std::string starting = "line Starting\u2026 off";
    const std::string testLine = "line \u26A0\uFE0E Test build \u2014 127.0.0.1 off";
    const std::string hidden = "command  hidden";
    const struct {
        std::string name;
        BuildFlavour build;
        std::function<void(StatusMenuModel&)> change;
        std::vector<std::string> rows;
    } cases[] = {
        // clang-format off
        {"a test build names its cloud on the second line", kTestBuild, [](auto&) {},
         with({starting, testLine}, hidden, "--")},
        {"production goes from the state line to the hidden warning", kProduction, [](auto&) {},
         with({starting}, hidden, "--")},
        {"the first line follows the agent", kProduction,
         [](auto& model) { model.setState(AgentState::stopped("exited 3")); },
         with({"line Stopped \u2014 exited 3 off"}, hidden, "--")},
        {"a blocked probe shows the warning", kProduction, [](auto& model) { model.setWarning(true); },
         with({starting}, "command " + kWarning, "--")},
        {"a later probe hides it and keeps its title", kProduction,
         [](auto& model) { model.setWarning(true); model.setWarning(false); },
         with({starting}, "command " + kWarning + " hidden", "--")},
        {"check marks as read back", kTestBuild, [](auto& model) { model.setChecks(true, true); },
         with({starting, testLine}, hidden, "xx")},
        {"a refused keep-awake reads as off", kTestBuild,
         [](auto& model) { model.setChecks(false, true); model.setChecks(true, false); },
         with({starting, testLine}, hidden, "x-")},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StatusMenuModel model(c.build);
        std::size_t count = model.rows().size();
        c.change(model);
        std::vector<std::string> rows;
        for (const auto& row : model.rows()) {
            rows.push_back(shown(row));
        }
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(model.rows().size(), count) << "views update rows in place";
    }
}

TEST(StatusMenuModelTest, EveryRowWithACommandAndEveryKey) {
    StatusMenuModel model(kTestBuild);
    std::vector<std::optional<MenuCommand>> commands;
    for (const auto& row : model.rows()) {
        commands.push_back(row.command);
    }
    using enum MenuCommand;
    const std::optional<MenuCommand> none;
    EXPECT_EQ(commands,
              (std::vector<std::optional<MenuCommand>>{
                  none, none, openNetworkSettings, none, openSetupPage, restart, showLog,
                  runDiagnostics, checkForUpdates, none, toggleLogin, toggleAwake, none, quit}));
    EXPECT_EQ(model.commandForKey('o'), openSetupPage);
    EXPECT_EQ(model.commandForKey('q'), quit);
    EXPECT_EQ(model.commandForKey('w'), std::nullopt);
    EXPECT_EQ(model.commandForKey(0), std::nullopt) << "rows without a key never match";
}

}  // namespace
}  // namespace vantrel
