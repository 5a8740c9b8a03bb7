#include "update/release_tools_mac.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "update/checksum.h"
#include "update/release_installer.h"
#include "update/run_tool.h"
#include "update/swap_script.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

TEST(MountPointInAttachOutput, TakesTheLastTmpLineFromTmpOnTrimmed) {
    struct Case {
        std::string output;
        std::optional<std::string> mountPoint;
    } cases[] = {
        {"/dev/disk4\tGUID_partition_scheme\t\n/dev/disk4s1\tApple_HFS\t/private/tmp/dmg.6s\n",
         "/tmp/dmg.6s"},
        {"/dev/disk4s1\t/tmp/dmg.a\n/dev/disk5s1\t/tmp/dmg.b\n", "/tmp/dmg.b"},
        {"/dev/disk4s1\t/tmp/dmg.a \u00a0\u3000\t\n", "/tmp/dmg.a"},
        {"/dev/disk4s1\t/tmp/dmg.a\r\n", "/tmp/dmg.a\r"},  // a carriage return is no white space
        {"/dev/disk4s1\t/tmp/one\n\nno mount here\n", "/tmp/one"},
        {"/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n", std::nullopt},
        {"/dev/disk4s1\t/tmp\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mountPointInAttachOutput(c.output), c.mountPoint) << c.output;
    }
}

// One stand-in for hdiutil, spctl and codesign: it logs each call and answers as the real tool.
constexpr const char* kStandIn = R"sh(#!/bin/sh
here=$(dirname "$0"); tool=$(basename "$0"); eval "last=\${$#}"
{ printf %s "$tool"; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
case "$tool $1" in
"hdiutil attach") [ -f "$last" ] && cat "$here/attach-output" && exit "$(cat "$here/status")" ;;
spctl*) [ -f "$last/notarized" ] ;;
codesign*) [ -e "$last" ] && echo "TeamIdentifier=$(cat "$last/team")" >&2 ;;
esac
)sh";

class MacTools : public ::testing::Test {
  protected:
    MacTools() {
        for (const char* tool : {"hdiutil", "spctl", "codesign"}) {
            writeFile(dir / "bin" / tool, kStandIn, true);
        }
        std::string folder = "/tmp/dmg.XXXXXX";
        EXPECT_TRUE(::mkdtemp(folder.data()));
        mnt = folder;
        writeFile(dir / "bin/status", "0");
        // The tool names the folder under /private/tmp, the real place of /tmp there.
        writeFile(dir / "bin/attach-output", "/dev/disk4s1\tApple_HFS\t/private" + mnt.string());
        writeFile(dir / "image.dmg", "image");
    }
    ~MacTools() override { fs::remove_all(mnt); }

    MacReleaseTools tools() const {
        return MacReleaseTools({.hdiutil = (dir / "bin/hdiutil").string(),
                                .spctl = (dir / "bin/spctl").string(),
                                .codesign = (dir / "bin/codesign").string()});
    }
    std::string calls() const { return readFile(dir / "bin/calls"); }
    fs::path app(const std::string& team, bool notarized, const fs::path& where) const {
        writeFile(where / "team", team);
        if (notarized) {
            writeFile(where / "notarized", "");
        }
        return where;
    }

    testing::TempDir dir;
    fs::path mnt;
};

TEST_F(MacTools, AttachFailsOnAStatusOrWithoutAMountPoint) {
    EXPECT_EQ(tools().attach(dir / "image.dmg"), mnt);
    EXPECT_FALSE(tools().attach(dir / "missing.dmg"));
    writeFile(dir / "bin/status", "1");
    EXPECT_FALSE(tools().attach(dir / "image.dmg"));
    writeFile(dir / "bin/status", "0");
    writeFile(dir / "bin/attach-output", "/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n");
    EXPECT_FALSE(tools().attach(dir / "image.dmg"));
}

// Needs the assessment and then the exact Team Identifier; a rejected bundle is not read further.
TEST_F(MacTools, VerifyNeedsTheAssessmentAndTheTeamIdentifier) {
    struct Case {
        const char* team;
        bool notarized;
        bool verified;
    } cases[] = {{"QK4TR8MZ2V", true, true},
                 {"ZZ9ZZ9ZZ9Z", true, false},
                 {"QK4TR8MZ2", true, false},  // a prefix is not the identifier
                 {"QK4TR8MZ2V", false, false}};
    for (const auto& c : cases) {
        fs::remove(dir / "bin/calls");
        auto bundle = app(c.team, c.notarized, dir / c.team / (c.notarized ? "n.app" : "r.app"));
        EXPECT_EQ(tools().verify(bundle), c.verified) << c.team;
        EXPECT_EQ(calls().find("codesign") != std::string::npos, c.notarized) << c.team;
    }
}

// Checksum, attach, assess, read the signature, quit, and detach once the script has ended.
TEST_F(MacTools, TheRunDrivesThePipelineAndDetachesOnceTheScriptHasEnded) {
    auto newApp = app("QK4TR8MZ2V", true, mnt / "Vantrel Agent.app");
    writeFile(newApp / "Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}");
    auto queue = std::make_shared<testing::ManualQueue>();
    int quits = 0;
    fs::path image;
    fs::create_directories(dir / "tmp");
    ReleaseInstaller installer({
        .mainQueue = queue,
        .requestQuit = [&] { ++quits; },
        .tools = std::make_shared<MacReleaseTools>(tools()),
        .live = dir / "Applications/Vantrel Agent.app",
        .temporary = dir / "tmp",
        .download =
            [&](const std::string&, const fs::path& to) {
                return fs::copy_file(dir / "image.dmg", image = to);
            },
        .stage = {},
        .shell = "/bin/sh",
    });
    EXPECT_EQ(installer.install({"2.0", "https://x/y.dmg", std::string(64, 'c')}),
              UpdateResult::failed(reasons::kChecksumMismatch));
    EXPECT_EQ(calls(), "");  // a wrong digest attaches nothing

    auto digest = *sha256OfFile(dir / "image.dmg");
    EXPECT_EQ(installer.install({"2.0", "https://x/y.dmg", digest}),
              UpdateResult::installed("2.0"));
    queue->runDue();
    EXPECT_EQ(quits, 1);
    // The script's copy fails here (there is no ditto), and the clean-up follows it.
    ASSERT_TRUE(
        testing::eventually([&] { return calls().find("hdiutil [detach]") != std::string::npos; }));
    EXPECT_EQ(calls(), "hdiutil [attach] [-nobrowse] [-readonly] [-mountrandom] [/tmp] [" +
                           image.string() +
                           "]\nspctl [-a] [-t] [exec] [--context] [context:primary-signature] [" +
                           newApp.string() + "]\ncodesign [-dv] [--verbose=4] [" + newApp.string() +
                           "]\nhdiutil [detach] [" + mnt.string() + "] [-quiet]\n");
    EXPECT_TRUE(testing::eventually([&] { return fs::is_empty(dir / "tmp"); }));
}

// The shell reads the quoted paths back exactly as they were (a quote inside becomes '\''),
// and the whole script parses.
TEST(MacSwapScript, NamesItsPathsExactlyForTheShell) {
    SwapPaths paths{.live = "/Users/o'brien/$HOME \"x\" `y` \\ (Agent)+.app",
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
    testing::TempDir dir;
    auto script = writeSwapScript("#!/bin/sh\necho hi", dir.path());
    ASSERT_TRUE(script);
    EXPECT_EQ(*script, dir / "swap.sh");
    EXPECT_EQ(readFile(*script), "#!/bin/sh\necho hi");
    EXPECT_EQ(fs::status(*script).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(writeSwapScript("x", dir / "missing"));
}

}  // namespace
}  // namespace vantrel
