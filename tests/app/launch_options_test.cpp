#include "app/launch_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;

struct ParseCase {
    std::vector<std::string> arguments;
    bool hasDisplay;
    // "" when the arguments are accepted; otherwise the error.
    std::string error;
    bool headless = false;
    bool loginItem = false;
    bool help = false;
    bool version = false;
};

TEST(LaunchOptionsTest, ParsesKnownOptionsAndRefusesEverythingElse) {
    const std::vector<ParseCase> cases = {
        {{}, true, ""},
        {{}, false, "", true},
        {{"--headless"}, true, "", true},
        {{"--login-item"}, true, "", false, true},
        {{"--login-item"}, false, "", true, true},
        {{"--help"}, true, "", false, false, true},
        {{"-h"}, true, "", false, false, true},
        {{"--version"}, true, "", false, false, false, true},
        {{"--headless", "--login-item"}, true, "", true, true},
        {{"-V"}, true, "unknown option -V"},
        {{"-headless"}, true, "unknown option -headless"},
        {{"--headles"}, true, "unknown option --headles"},
        {{"--headless=yes"}, true, "unknown option --headless=yes"},
        {{"foo", "bar"}, true, "unexpected argument foo"},
        {{"--headless", "foo"}, false, "unexpected argument foo"},
        {{""}, true, "unexpected argument "},
        {{"-"}, true, "unknown option -"},
    };
    for (const auto& c : cases) {
        std::string error;
        auto options = LaunchOptions::parse(c.arguments, c.hasDisplay, error);
        std::string label = ::testing::PrintToString(c.arguments);
        if (!c.error.empty()) {
            EXPECT_FALSE(options) << label;
            EXPECT_EQ(error, c.error) << label;
            continue;
        }
        ASSERT_TRUE(options) << label << ": " << error;
        EXPECT_EQ(options->headless, c.headless) << label;
        EXPECT_EQ(options->loginItem, c.loginItem) << label;
        EXPECT_EQ(options->help, c.help) << label;
        EXPECT_EQ(options->version, c.version) << label;
    }
}

// The real executable: its exit status, and what reaches standard output when standard error is
// thrown away.
struct CommandCase {
    std::vector<std::string> arguments;
    int status;
    std::string standardOutput;  // a part of it; "" for nothing at all
};

TEST(CommandLineTest, VersionAndHelpExitZeroAndAnythingUnknownGivesTheUsageOnStandardError) {
    const std::string executable = std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent";
    const std::vector<CommandCase> cases = {
        {{"--version"}, 0, "Vantrel Agent " VANTREL_BUNDLE_VERSION "\n"},
        {{"--help"}, 0, "usage: VantrelAgent"},
        {{"-V"}, 2, ""},
        {{"-headless"}, 2, ""},
        {{"foo", "bar"}, 2, ""},
        {{"--headless", "--verbose"}, 2, ""},
    };
    testing::TempDir home;
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>/dev/null", executable};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        testing::RunningApp app("/bin/sh", arguments, testing::sandboxedEnvironment(home.path()));
        std::string label = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(app.waitForExit(), c.status) << label;
        if (c.standardOutput.empty()) {
            EXPECT_EQ(app.output(), "") << label;
        } else {
            EXPECT_THAT(app.output(), HasSubstr(c.standardOutput)) << label;
        }
    }
    testing::RunningApp refused(executable, {"foo"}, testing::sandboxedEnvironment(home.path()));
    EXPECT_EQ(refused.waitForExit(), 2);
    EXPECT_THAT(refused.output(), HasSubstr("unexpected argument foo\nusage: VantrelAgent"));
}

}  // namespace
}  // namespace vantrel
