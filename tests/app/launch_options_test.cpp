#include "app/launch_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;

// What the arguments give: "h" headless, "l" login item, "?" help, "v" version; "! " and the
// error when they are refused.
TEST(LaunchOptionsTest, ParsesKnownOptionsAndRefusesEverythingElse) {
    const struct {
        std::vector<std::string> arguments;
        bool hasDisplay;
        std::string gives;
    } cases[] = {
        {{}, true, ""},
        {{}, false, "h"},
        {{"--headless"}, true, "h"},
        {{"--login-item"}, true, "l"},
        {{"--help"}, true, "?"},
        {{"-h"}, true, "?"},
        {{"--version"}, true, "v"},
        {{"--headless", "--login-item"}, true, "hl"},
        {{"-V"}, true, "! unknown option -V"},
        {{"--headles"}, true, "! unknown option --headles"},
        {{"--headless=yes"}, true, "! unknown option --headless=yes"},
        {{"foo", "bar"}, true, "! unexpected argument foo"},
        {{"--headless", "foo"}, false, "! unexpected argument foo"},
        {{"-"}, true, "! unknown option -"},
    };
    for (const auto& c : cases) {
        std::string error;
        auto options = LaunchOptions::parse(c.arguments, c.hasDisplay, error);
        std::string gives = "! " + error;
        if (options) {
            gives = std::string(options->headless ? "h" : "") + (options->loginItem ? "l" : "") +
                    (options->help ? "?" : "") + (options->version ? "v" : "");
        }
        EXPECT_EQ(gives, c.gives) << ::testing::PrintToString(c.arguments);
    }
}

// The real executable: its exit status, and what reaches standard output (a part of it; "" for
// nothing at all) when standard error is thrown away.
TEST(CommandLineTest, VersionAndHelpExitZeroAndAnythingUnknownGivesTheUsageOnStandardError) {
    const std::string executable = std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string standardOutput;
    } cases[] = {
        {{"--version"}, 0, "Vantrel Agent " VANTREL_BUNDLE_VERSION "\n"},
        {{"--help"}, 0, "usage: VantrelAgent"},
        {{"-V"}, 2, ""},
        {{"--headless", "--verbose"}, 2, ""},
    };
    testing::TempDir home;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>/dev/null", executable};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        testing::RunningApp app("/bin/sh", arguments, testing::sandboxedEnvironment(home.path()));
        EXPECT_EQ(app.waitForExit(), c.status);
        if (c.standardOutput.empty()) {
            EXPECT_EQ(app.output(), "");
        } else {
            EXPECT_THAT(app.output(), HasSubstr(c.standardOutput));
        }
    }
    testing::RunningApp refused(executable, {"foo"}, testing::sandboxedEnvironment(home.path()));
    EXPECT_EQ(refused.waitForExit(), 2);
    EXPECT_THAT(refused.output(), HasSubstr("unexpected argument foo\nusage: VantrelAgent"));
}

}  // namespace
}  // namespace vantrel
