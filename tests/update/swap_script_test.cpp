#include "update/swap_script.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "update/run_tool.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

TEST(ShellQuoted, SingleQuotesAndEscapesOnlyQuotes) {
    EXPECT_EQ(shellQuoted("/Applications/Vantrel Agent.app"), "'/Applications/Vantrel Agent.app'");
    EXPECT_EQ(shellQuoted("/Users/o'brien/A"), "'/Users/o'\\''brien/A'");
    EXPECT_EQ(shellQuoted("$HOME \"x\" `y` \\"), "'$HOME \"x\" `y` \\'");
    EXPECT_EQ(shellQuoted(""), "''");
}

// The shell reads the quoted paths back exactly as they were.
TEST(MacSwapScript, NamesItsPathsExactlyForTheShell) {
    SwapPaths paths{.live = "/Users/o'brien/Vantrel (Agent)+.app",
                    .staged = "/Users/o'brien/.VantrelAgent-incoming.app",
                    .previous = "/Users/o'brien/.VantrelAgent-previous.app",
                    .newApp = "/tmp/dmg.x/Vantrel Agent.app"};
    auto text = macSwapScript(paths);
    auto header = text.substr(0, text.find("\n\n"));
    auto printed = runTool(
        "/bin/sh", {"-c", header + "\nprintf '%s|%s|%s' \"$live\" \"$staged\" \"$previous\""});
    EXPECT_EQ(printed.output,
              paths.live.string() + "|" + paths.staged.string() + "|" + paths.previous.string());
    EXPECT_EQ(runTool("/bin/sh", {"-n", "-c", text}).status, 0);
}

TEST(WriteSwapScript, WritesSwapShWholeAndNotExecutableOrNothing) {
    TempDir dir;
    auto script = writeSwapScript("#!/bin/sh\necho hi", dir.path());
    ASSERT_TRUE(script);
    EXPECT_EQ(*script, dir / "swap.sh");
    EXPECT_EQ(readFile(*script), "#!/bin/sh\necho hi");
    EXPECT_EQ(fs::status(*script).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_FALSE(writeSwapScript("x", dir / "missing"));
}

}  // namespace
}  // namespace vantrel
