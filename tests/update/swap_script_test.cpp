#include "update/swap_script.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <sstream>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "update/release_fixture.h"
#include "update/shell.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    return lines;
}

TEST(ShellQuoted, SingleQuotesAndEscapesOnlyQuotes) {
    EXPECT_EQ(shellQuoted("/Applications/Vantrel Agent.app"), "'/Applications/Vantrel Agent.app'");
    EXPECT_EQ(shellQuoted("/Users/o'brien/A"), "'/Users/o'\\''brien/A'");
    EXPECT_EQ(shellQuoted("$HOME \"x\" `y` \\"), "'$HOME \"x\" `y` \\'");
    EXPECT_EQ(shellQuoted(""), "''");
}

TEST(MacSwapScript, IsTheTextLineByLine) {
    auto text = macSwapScript({.live = "/Applications/Vantrel Agent.app",
                               .staged = "/Applications/.VantrelAgent-incoming.app",
                               .previous = "/Applications/.VantrelAgent-previous.app",
                               .newApp = "/tmp/dmg.AbC/Vantrel Agent.app"});
    std::vector<std::string> expected = {
        "#!/bin/sh",
        "set -e",
        "live='/Applications/Vantrel Agent.app'",
        "staged='/Applications/.VantrelAgent-incoming.app'",
        "previous='/Applications/.VantrelAgent-previous.app'",
        "",
        "# Copy onto the destination volume before touching anything live, so",
        "# the slow part is over before there is any window to interrupt.",
        "rm -rf \"$staged\" \"$previous\"",
        "/usr/bin/ditto '/tmp/dmg.AbC/Vantrel Agent.app' \"$staged\"",
        "",
        "# Wait for the app to go. It is quitting as this starts; 30 seconds is",
        "# far longer than that takes and short enough not to hang forever.",
        "i=0",
        "while [ $i -lt 60 ] && /usr/bin/pgrep -f \"$live/Contents/MacOS/VantrelAgent\" "
        ">/dev/null; do",
        "  sleep 0.5",
        "  i=$((i + 1))",
        "done",
        "",
        "mv \"$live\" \"$previous\"",
        "if ! mv \"$staged\" \"$live\"; then",
        "  mv \"$previous\" \"$live\"      # put it back rather than leave nothing",
        "  exit 1",
        "fi",
        "rm -rf \"$previous\"",
        "",
        "# Quarantine is inherited from the download and would make the update",
        "# look untrusted even though it is stapled. Removed only after the",
        "# signature and Team ID have been checked, never before.",
        "/usr/bin/xattr -dr com.apple.quarantine \"$live\" 2>/dev/null || true",
        "/usr/bin/open \"$live\"",
    };
    EXPECT_EQ(linesOf(text), expected);
    EXPECT_FALSE(text.ends_with("\n"));
}

TEST(MacSwapScript, QuotesAPathWithAQuote) {
    auto text = macSwapScript({.live = "/Users/o'brien/Vantrel Agent.app",
                               .staged = "/Users/o'brien/.VantrelAgent-incoming.app",
                               .previous = "/Users/o'brien/.VantrelAgent-previous.app",
                               .newApp = "/tmp/dmg.x/Vantrel Agent.app"});
    EXPECT_EQ(linesOf(text)[2], "live='/Users/o'\\''brien/Vantrel Agent.app'");
}

TEST(LinuxSwapScript, KeepsTheStepsWithThisSystemsTools) {
    auto lines = linesOf(linuxSwapScript({.live = "/opt/VantrelAgent",
                                          .staged = "/opt/.VantrelAgent-incoming",
                                          .previous = "/opt/.VantrelAgent-previous",
                                          .newApp = "/tmp/vantrel-release-x/VantrelAgent"}));
    ASSERT_EQ(lines.size(), 28u);
    EXPECT_EQ(lines[9], "/bin/cp -a '/tmp/vantrel-release-x/VantrelAgent' \"$staged\"");
    EXPECT_EQ(lines[14],
              "while [ $i -lt 60 ] && /usr/bin/pgrep -f \"$live/bin/VantrelAgent\" >/dev/null; do");
    EXPECT_EQ(lines[15], "  sleep 0.5");
    EXPECT_EQ(lines[27],
              "/usr/bin/setsid -f \"$live/bin/VantrelAgent\" >/dev/null 2>&1 </dev/null");
}

// A bundle whose executable notes each start in `parent`/starts.
void makeFakeBundle(const fs::path& root, const std::string& version) {
    writeFile(root / "Info.json", version);
    writeFile(root / "bin/VantrelAgent",
              "#!/bin/sh\necho \"$(cat \"$(dirname \"$0\")/../Info.json\")\" >> \"$(dirname "
              "\"$0\")/../../starts\"\n",
              true);
}

class SwapRun : public ::testing::Test {
  protected:
    SwapRun() {
        parent = dir / "Vantrel's apps folder";
        paths = {.live = parent / "VantrelAgent",
                 .staged = parent / ".VantrelAgent-incoming",
                 .previous = parent / ".VantrelAgent-previous",
                 .newApp = dir / "mount point" / "VantrelAgent"};
        makeFakeBundle(paths.live, "1.0");
        makeFakeBundle(paths.newApp, "2.0");
    }

    int runScript(const SwapWait& wait = {.rounds = 60, .pause = "0.05"}) {
        auto script = writeSwapScript(linuxSwapScript(paths, wait), dir.path());
        EXPECT_TRUE(script);
        return shell("/bin/sh", {script->string()}).status;
    }

    std::string starts() const { return readFile(parent / "starts"); }

    TempDir dir;
    fs::path parent;
    SwapPaths paths;
};

TEST_F(SwapRun, ReplacesLiveAndRelaunchesItInPathsWithSpacesAndQuotes) {
    EXPECT_EQ(runScript(), 0);
    EXPECT_EQ(readFile(paths.live / "Info.json"), "2.0");
    EXPECT_TRUE(eventually([&] { return starts() == "2.0\n"; }));
    EXPECT_FALSE(fs::exists(paths.staged));
    EXPECT_FALSE(fs::exists(paths.previous));
    EXPECT_TRUE(fs::exists(paths.newApp));  // the image is left for the clean-up
}

TEST_F(SwapRun, RemovesLeftoversOfAnInterruptedUpdate) {
    writeFile(paths.staged / "junk", "old staged");
    writeFile(paths.previous / "junk", "old previous");
    EXPECT_EQ(runScript(), 0);
    EXPECT_FALSE(fs::exists(paths.live / "junk"));
    EXPECT_FALSE(fs::exists(paths.previous));
    EXPECT_EQ(readFile(paths.live / "Info.json"), "2.0");
}

TEST_F(SwapRun, CopyFailureTouchesNothingLive) {
    fs::remove_all(paths.newApp);
    EXPECT_NE(runScript(), 0);
    EXPECT_EQ(readFile(paths.live / "Info.json"), "1.0");
    EXPECT_EQ(starts(), "");
}

TEST_F(SwapRun, WaitsForTheRunningAppThenSwaps) {
    testing::Lookalike app(paths.live);
    auto script =
        writeSwapScript(linuxSwapScript(paths, {.rounds = 200, .pause = "0.05"}), dir.path());
    auto started = ChildProcess::spawn({.executable = "/bin/sh",
                                        .arguments = {script->string()},
                                        .environment = currentEnvironment(),
                                        .output = -1});
    ASSERT_TRUE(started.child);
    ASSERT_TRUE(eventually([&] { return fs::exists(paths.staged / "bin/VantrelAgent"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(readFile(paths.live / "Info.json"), "1.0");  // still waiting
    app.end();
    EXPECT_EQ(started.child->wait(), 0);
    EXPECT_EQ(readFile(paths.live / "Info.json"), "2.0");
}

TEST_F(SwapRun, SecondRenameFailingPutsPreviousBackAndExitsOne) {
    testing::Lookalike app(paths.live);
    auto script =
        writeSwapScript(linuxSwapScript(paths, {.rounds = 200, .pause = "0.05"}), dir.path());
    auto started = ChildProcess::spawn({.executable = "/bin/sh",
                                        .arguments = {script->string()},
                                        .environment = currentEnvironment(),
                                        .output = -1});
    ASSERT_TRUE(started.child);
    ASSERT_TRUE(eventually([&] { return fs::exists(paths.staged / "bin/VantrelAgent"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the copy is over
    fs::remove_all(paths.staged);
    app.end();
    EXPECT_EQ(started.child->wait(), 1);
    EXPECT_EQ(readFile(paths.live / "Info.json"), "1.0");
    EXPECT_FALSE(fs::exists(paths.previous));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(starts(), "");  // no relaunch
}

TEST_F(SwapRun, AnAppThatDoesNotQuitIsSwappedAfterThirtySeconds) {
    testing::Lookalike app(paths.live);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(runScript(SwapWait{}), 0);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    app.end();
    EXPECT_GE(waited, 29.5);
    EXPECT_LT(waited, 36);
    EXPECT_EQ(readFile(paths.live / "Info.json"), "2.0");
}

TEST(WriteSwapScript, WritesSwapShWholeAndNotExecutable) {
    TempDir dir;
    auto script = writeSwapScript("#!/bin/sh\necho hi", dir.path());
    ASSERT_TRUE(script);
    EXPECT_EQ(*script, dir / "swap.sh");
    EXPECT_EQ(readFile(*script), "#!/bin/sh\necho hi");
    EXPECT_EQ(fs::status(*script).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteSwapScript, NothingWhenTheFolderIsMissing) {
    TempDir dir;
    EXPECT_FALSE(writeSwapScript("x", dir / "missing"));
}

}  // namespace
}  // namespace vantrel
