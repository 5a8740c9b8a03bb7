#include <gtest/gtest.h>

#include "menubar/autostart_entry.h"

namespace vantrel {
namespace {

TEST(AutostartEntryTest, ExecArgumentsAreQuotedOnlyWhenTheRulesNeedIt) {
    struct Case {
        std::string argument;
        std::string quoted;
    };
    const std::vector<Case> cases{
        {"/opt/VantrelAgent/bin/VantrelAgent", "/opt/VantrelAgent/bin/VantrelAgent"},
        {"/home/a b/VantrelAgent", "\"/home/a b/VantrelAgent\""},
        {"/it's", "\"/it's\""},
        {"/a\"b", "\"/a\\\"b\""},
        {"/cost$5", "\"/cost\\$5\""},
        {"/back\\slash", "\"/back\\\\slash\""},
        {"/tick`", "\"/tick\\`\""},
        {"/100%", "/100%%"},
        {"/100% sure", "\"/100%% sure\""},
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoteExecArgument(c.argument), c.quoted) << c.argument;
    }
}

TEST(AutostartEntryTest, TheEntryRunsTheExecutableAtLoginAndReadsBackToIt) {
    for (std::string executable :
         {"/opt/VantrelAgent/bin/VantrelAgent", "/home/a b/Vantrel (2)/bin/VantrelAgent",
          "/odd/$\"`\\%'/VantrelAgent", "/tab\there/VantrelAgent"}) {
        auto entry = autostartEntry(executable);
        EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n")) << entry;
        EXPECT_NE(entry.find(" --login-item\n"), std::string::npos) << entry;
        EXPECT_EQ(autostartProgram(entry), executable) << entry;
    }
    EXPECT_NE(autostartEntry("/a b/x").find("Exec=\"/a b/x\" --login-item\n"), std::string::npos);
    // A literal backslash in a quoted argument is written as four.
    EXPECT_NE(autostartEntry("/a b\\c").find("Exec=\"/a b\\\\\\\\c\" --login-item"),
              std::string::npos);
}

TEST(AutostartEntryTest, ProgramIsReadFromTheMainGroupsExecLineOnly) {
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nName=x\nExec=/bin/other --login-item\n"),
              "/bin/other");
    EXPECT_EQ(autostartProgram("[Desktop Action x]\nExec=/wrong\n[Desktop Entry]\nExec=/right\n"),
              "/right");
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=  \"/a\\\\\\\\b c\" x\n"), "/a\\b c");
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=\"/unterminated\n"), std::nullopt);
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nName=no exec\n"), std::nullopt);
    EXPECT_EQ(autostartProgram("Exec=/outside/any/group\n"), std::nullopt);
    EXPECT_EQ(autostartProgram(""), std::nullopt);
}

}  // namespace
}  // namespace vantrel
