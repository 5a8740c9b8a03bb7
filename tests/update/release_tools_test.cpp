#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <set>

#include "support/manual_queue.h"
#include "support/unique_fd.h"
#include "update/checksum.h"
#include "update/release_installer.h"
#include "update/release_tools_archive.h"
#include "update/release_tools_file_list.h"
#include "update/release_tools_linux.h"
#include "update/release_tools_mac.h"
#include "update/scratch_folder.h"
#include "update/swap_script.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Names as tar prints them, decoded and then judged: an octal escape that hides a "..", a "/" or
// a trailing slash must be read as the byte it stands for.
TEST(ArchiveIsSafe, JudgesTheDecodedNames) {
    struct Case {
        const char* name;
        const char* target;
        bool safe;
    } cases[] = {
        {"VantrelAgent/\\303\\251", nullptr, true},
        {"VantrelAgent/\\056\\056/x", nullptr, false},
        {"VantrelAgent\\057..\\057x", nullptr, false},
        {"\\056\\056", nullptr, false},
        {"VantrelAgent/a", "\\056\\056/\\056\\056", false},
        {"VantrelAgent/a", "\\056\\056/b", true},
        {"VantrelAgent/a\\057", "\\056\\056/\\056\\056/x", false},
        {"VantrelAgent/a\\057", "\\056\\056/x", true},
    };
    for (const auto& c : cases) {
        std::string line =
            c.target ? "lrwxrwxrwx 0/0 0 2025-01-01 10:00 \"" + std::string(c.name) + "\" -> \"" +
                           c.target + "\"\n"
                     : "-rw-r--r-- 0/0 1 2025-01-01 10:00 \"" + std::string(c.name) + "\"\n";
        auto entries = parseTarListing(line);
        ASSERT_TRUE(entries) << line;
        EXPECT_EQ(archiveIsSafe(*entries), c.safe) << line;
    }
    EXPECT_EQ(parseTarListing("-rw-r--r-- 0/0 1 2025-01-01 10:00 \"\\303\\251\\0607\"")->at(0).name,
              "\u00e9"
              "07");
    // A NUL, escaped or raw, would be judged whole but created cut short ("./.." here).
    for (std::string target : {std::string("./..\\000x"), std::string("./..\0x", 6)}) {
        EXPECT_FALSE(parseTarListing("lrwxrwxrwx 0/0 0 2025-01-01 10:00 \"VantrelAgent/a\" -> \"" +
                                     target + "\"\n"));
    }
}

// Only files, folders and links that stay inside, judged where tar puts them and through the
// links made before them, within the limits.
TEST(ArchiveIsSafe, AllowsOnlyFilesFoldersAndInsideLinks) {
    struct Case {
        std::vector<ArchiveEntry> entries;
        bool safe;
    } cases[] = {
        {{{'-', "VantrelAgent/bin/VantrelAgent", ""}, {'d', "./VantrelAgent/", ""}}, true},
        {{{'l', "VantrelAgent/Resources/up", "../bin"}}, true},
        {{{'l', "VantrelAgent/up", "../Other/x"}}, true},  // still inside the extraction
        {{{'-', "/etc/passwd", ""}}, false},
        {{{'-', "VantrelAgent/../../evil", ""}}, false},
        {{{'-', "", ""}}, false},
        {{{'l', "VantrelAgent/out", "../../etc"}}, false},
        {{{'l', "VantrelAgent/abs", "/etc"}}, false},
        {{{'l', "top", ".."}}, false},
        {{{'h', "VantrelAgent/hard", "VantrelAgent/x"}}, false},
        {{{'c', "VantrelAgent/dev", ""}}, false},
        {{{'p', "VantrelAgent/fifo", ""}}, false},
        {{{'l', "VantrelAgent/a/", "../../x"}}, false},
        {{{'l', "VantrelAgent/a", "."}, {'l', "VantrelAgent/a/b", "../x"}}, false},
        {{{'l', "VantrelAgent/a", "."}, {'-', "VantrelAgent/a/b", ""}}, false},
        {{{'l', "VantrelAgent/x", ".."}, {'l', "VantrelAgent/y", "x/.."}}, false},
        {{{'l', "VantrelAgent/x", "y"}, {'l', "VantrelAgent/y", "x"}}, false},
        {{{'l', "VantrelAgent/x", "sub"}, {'l', "VantrelAgent/y", "x/../bin"}}, true},
        {{{'l', "VantrelAgent/x", "."}, {'l', "VantrelAgent/y", "x/x/x/bin"}}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(archiveIsSafe(c.entries), c.safe)
            << c.entries.back().name << " -> " << c.entries.back().linkTarget;
    }
    std::vector<ArchiveEntry> entries{{'-', "a", "", 600}, {'-', "b", "", 400}, {'d', "c", "", 0}};
    EXPECT_TRUE(archiveIsSafe(entries, {.bytes = 1000, .entries = 3}));
    EXPECT_FALSE(archiveIsSafe(entries, {.bytes = 999, .entries = 3}));
    EXPECT_FALSE(archiveIsSafe(entries, {.bytes = 1000, .entries = 2}));
}

class LinuxTools : public ::testing::Test {
  protected:
    LinuxTools() { fs::create_directories(dir / "extract"); }
    LinuxReleaseTools tools(ArchiveLimits limits = {}) const {
        return LinuxReleaseTools(dir / "signers", "QK4TR8MZ2V", dir / "extract", {}, limits);
    }
    bool extractionIsEmpty() const { return fs::is_empty(dir / "extract"); }
    TempDir dir;
};

// Each archive holds VantrelAgent/Info.json and one hostile part, written the way an attacker's
// tool would (tar itself refuses to write some). scripts/install judges them on its own and must
// refuse them all, and also the two that the extraction's own folder would contain.
TEST_F(LinuxTools, AttachRefusesHostileArchivesAndLeavesNothing) {
    const std::string writer =
        "import io, sys, tarfile\n"
        "t = tarfile.open(sys.argv[1], 'w:gz')\n"
        "def special(name, kind, target='', data=b''):\n"
        "    i = tarfile.TarInfo(name); i.type, i.linkname, i.size = kind, target, len(data)\n"
        "    i.mode = 0o755; t.addfile(i, io.BytesIO(data))\n"
        "def file(name): special(name, tarfile.REGTYPE, data=b'{}')\n"
        "def link(name, target): special(name, tarfile.SYMTYPE, target)\n"
        "special('VantrelAgent', tarfile.DIRTYPE); file('VantrelAgent/Info.json')\n";
    struct Case {
        std::string member;
        bool attachRefuses = true;
    } cases[] = {
        {"file(sys.argv[2] + '/evil')"},
        {"file('VantrelAgent/../../evil')"},
        {"file('../evil')"},
        {"special('VantrelAgent/null', tarfile.CHRTYPE)"},
        {"special('VantrelAgent/fifo', tarfile.FIFOTYPE)"},
        {"special('VantrelAgent/hard', tarfile.LNKTYPE, '/etc/passwd')"},
        {"link('VantrelAgent/out', '../../etc')"},
        {"link('VantrelAgent/abs', '/etc')"},
        {"link('VantrelAgent/a/', '../../x')"},
        {"link('VantrelAgent/a', '.'); link('VantrelAgent/a/b', '../x')"},
        {"link('VantrelAgent/l', 'Resources'); file('VantrelAgent/l/evil')"},
        {"link('VantrelAgent/x', '.'); link('VantrelAgent/y', 'x/x/x/../..')"},
        {"file('Other/evil')", false},
        {"file('VantrelAgent/Info.json')", false},  // listed twice
    };
    auto archive = dir / "hostile.tar.gz";
    auto home = dir / "home";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        testing::run(VANTREL_SYSTEM_PYTHON, {"-c", writer + c.member + "\nt.close()\n",
                                             archive.string(), dir.path().string()});
        if (c.attachRefuses) {
            EXPECT_FALSE(tools().attach(archive));
            EXPECT_TRUE(extractionIsEmpty());
        }
        auto installed =
            runTool("/usr/bin/env", {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(),
                                     VANTREL_SOURCE_DIR "/scripts/install", archive.string()});
        EXPECT_EQ(installed.status, 1);
        EXPECT_NE(installed.output.find("unsafe member"), std::string::npos) << installed.output;
        EXPECT_FALSE(fs::exists(home / ".local"));
        EXPECT_FALSE(fs::exists(dir / "evil"));
    }
    writeFile(dir / "garbage.tar.gz", "not a tar at all");
    EXPECT_FALSE(tools().attach(dir / "garbage.tar.gz"));
    EXPECT_FALSE(tools().attach(dir / "missing.tar.gz"));
    EXPECT_TRUE(extractionIsEmpty());
}

// A few KiB that expand to 4 MiB of zeros, against a ceiling of 1 MiB or of one entry: refused
// before anything is written. With room, it is extracted into a folder of this user's own, its
// files read-only, and detach removes it.
TEST_F(LinuxTools, AttachRefusesAnArchiveThatExpandsPastTheLimits) {
    writeFile(dir / "bomb/VantrelAgent/zeros", std::string(4 << 20, '\0'));
    testing::run("/bin/tar", {"-czf", (dir / "bomb.tar.gz").string(), "-C", (dir / "bomb").string(),
                              "VantrelAgent"});
    ASSERT_LT(fs::file_size(dir / "bomb.tar.gz"), 64u << 10);
    EXPECT_FALSE(tools({.bytes = 1 << 20, .entries = 20000}).attach(dir / "bomb.tar.gz"));
    EXPECT_FALSE(tools({.bytes = 1 << 30, .entries = 1}).attach(dir / "bomb.tar.gz"));
    EXPECT_TRUE(extractionIsEmpty());
    auto roomy = tools({.bytes = 4 << 20, .entries = 20000});
    auto mountPoint = roomy.attach(dir / "bomb.tar.gz");
    ASSERT_TRUE(mountPoint);
    EXPECT_EQ(fs::status(*mountPoint).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(*mountPoint / "VantrelAgent/zeros").permissions(),
              static_cast<fs::perms>(0444));
    roomy.detach(*mountPoint);
    EXPECT_TRUE(extractionIsEmpty());
}

// The bundle's list as another tool would write it; links that climb out (also through another
// link that reads as if it stayed inside) and other kinds make no list.
TEST(DescribeBundle, RefusesLinksThatLeaveAndOtherKinds) {
    testing::SignedRelease release;
    auto root = release.bundle();
    auto agent = root / "Resources/lib/vantrel_agent/__init__.py";
    EXPECT_EQ(
        (*describeBundle(root))["entries"]["Resources/lib/vantrel_agent/__init__.py"]["sha256"],
        testing::run("/usr/bin/sha256sum", {agent.string()}).output.substr(0, 64));
    fs::create_symlink("..", root / "Resources/lib/up");
    for (const char* link : {"lib/up/../..", "/etc"}) {
        fs::create_symlink(link, root / "Resources/out");
        EXPECT_FALSE(describeBundle(root)) << link;
        fs::remove(root / "Resources/out");
    }
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(describeBundle(root));
}

// Both streams in order, read until grandchildren close the pipe, past the pipe's size; output
// that is not UTF-8 becomes empty but keeps its status; a tool that cannot start gives -1; the
// tool inherits none of our descriptors.
TEST(Shell, GivesTheStatusAndBothStreamsInOrder) {
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Above anything ls opens itself, and not close-on-exec on purpose.
    UniqueFd open(::fcntl(null.get(), F_DUPFD, 40));
    struct Case {
        std::string script;
        int status;
        std::string output;
    } cases[] = {
        {"echo out; echo err >&2; (sleep 0.3; echo late) & echo out2; exit 3", 3,
         "out\nerr\nout2\nlate\n"},
        {"head -c 1000000 /dev/zero | tr '\\0' a", 0, std::string(1000000, 'a')},
        {"printf 'ok \\377 bad'; exit 4", 4, ""},
        {"printf 'caf\\303\\251'", 0, "caf\u00e9"},
        {"[ -e /proc/self/fd/" + std::to_string(open.get()) + " ] || echo closed", 0, "closed\n"},
    };
    for (const auto& c : cases) {
        auto result = runTool("/bin/sh", {"-c", c.script});
        EXPECT_EQ(result.status, c.status) << c.script;
        EXPECT_EQ(result.output, c.output) << c.script;
    }
    EXPECT_EQ(runTool("/nonexistent/tool", {"x"}).status, -1);
}

TEST(ChecksumMatches, ComparesTheFilesDigestExactly) {
    TempDir dir;
    writeFile(dir / "update.dmg", "abc");
    const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(checksumMatches(dir / "update.dmg", digest));
    const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    for (const auto& wrong : {upper, digest + "\n", std::string()}) {
        EXPECT_FALSE(checksumMatches(dir / "update.dmg", wrong)) << wrong;
    }
    EXPECT_FALSE(checksumMatches(dir / "missing.dmg", digest));
}

TEST(ScratchFolder, IsNamedWithAFreshVersion4Uuid) {
    static const std::regex canonical(
        "vantrel-update-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        auto path = scratchFolderPath("/some/temp");
        EXPECT_EQ(path.parent_path(), "/some/temp");
        EXPECT_TRUE(std::regex_match(path.filename().string(), canonical)) << path;
        seen.insert(path.filename());
    }
    EXPECT_EQ(seen.size(), 50u);
}

// One stand-in for hdiutil, spctl and codesign: it logs each call and answers as the real tool,
// from the files beside it and the bundle's own.
constexpr const char* kStandIn = R"sh(#!/bin/sh
here=$(dirname "$0"); tool=$(basename "$0"); eval "last=\${$#}"
{ printf %s "$tool"; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
case "$tool $1" in
"hdiutil attach") [ -f "$last" ] && cat "$here/attach-output" && exit "$(cat "$here/status")" ;;
spctl*) [ -f "$last/notarized" ] ;;
codesign*) [ -e "$last" ] && echo "TeamIdentifier=$(cat "$last/team")" >&2 ;;
esac
)sh";

// The macOS run with the tools standing in: checksum, attach (the tool names the folder under
// /private/tmp, the real place of /tmp, on its last line naming /tmp/), the assessment, then the
// exact Team Identifier; a quit, and the detach once the swap script has ended (its copy fails
// here: there is no ditto). Each refusal detaches what it attached.
TEST(MacTools, EachAnswerOfTheToolsEndsTheRunAsItShould) {
    TempDir dir;
    for (const char* tool : {"hdiutil", "spctl", "codesign"}) {
        writeFile(dir / "bin" / tool, kStandIn, true);
    }
    std::string mnt = "/tmp/dmg.XXXXXX";
    ASSERT_TRUE(::mkdtemp(mnt.data()));
    auto app = fs::path(mnt) / "Vantrel Agent.app";
    writeFile(app / "Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}");
    writeFile(dir / "image.dmg", "image");
    const std::string run = "hdiutil:attach spctl: codesign: hdiutil:detach ";
    const std::string refusedBySpctl = "hdiutil:attach spctl: hdiutil:detach ";
    const auto installed = UpdateResult::installed("2.0");
    struct Case {
        std::string attachOutput;
        UpdateResult result;
        std::string calls, team = "QK4TR8MZ2V";
        bool notarized = true;
        std::string digest = "";  // the image's
        int status = 0;
    } cases[] = {
        {"/dev/disk4\tGUID\t\n/dev/disk4s1\tApple_HFS\t/private" + mnt, installed, run},
        {"/dev/disk4s1\t/tmp/other\n/dev/disk5s1\t" + mnt + " \u00a0\u3000\t\n\nnone\n", installed,
         run},
        {mnt, UpdateResult::failed(reasons::kChecksumMismatch), "", "QK4TR8MZ2V", true,
         std::string(64, 'c')},
        {mnt, UpdateResult::failed(reasons::kWouldNotMount), "hdiutil:attach ", "QK4TR8MZ2V", true,
         "", 1},
        {"/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n/dev/disk4s1\t/tmp\n",
         UpdateResult::failed(reasons::kWouldNotMount), "hdiutil:attach "},
        // A carriage return is no white space: the folder named has it.
        {mnt + "\r\n", UpdateResult::failed(reasons::kNotSigned), refusedBySpctl},
        {mnt, UpdateResult::failed(reasons::kNotSigned), run, "ZZ9ZZ9ZZ9Z"},
        {mnt, UpdateResult::failed(reasons::kNotSigned), run, "QK4TR8MZ2"},
        {mnt, UpdateResult::failed(reasons::kNotSigned), refusedBySpctl, "QK4TR8MZ2V", false},
    };
    auto calls = [&] { return fs::exists(dir / "bin/calls") ? readFile(dir / "bin/calls") : ""; };
    auto names = [&] {
        return std::regex_replace(
            calls(), std::regex("(\\S+)(?: \\[(attach|detach)\\])?[^\\n]*\\n"), "$1:$2 ");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attachOutput + " " + c.team);
        fs::remove(dir / "bin/calls");
        writeFile(dir / "bin/status", std::to_string(c.status));
        writeFile(dir / "bin/attach-output", c.attachOutput);
        writeFile(app / "team", c.team);
        fs::remove(app / "notarized");
        if (c.notarized) {
            writeFile(app / "notarized", "");
        }
        fs::create_directories(dir / "tmp");
        auto queue = std::make_shared<testing::ManualQueue>();
        int quits = 0;
        fs::path image;
        ReleaseInstaller installer({
            .mainQueue = queue,
            .requestQuit = [&] { ++quits; },
            .tools = std::make_shared<MacReleaseTools>(
                MacToolPaths{.hdiutil = (dir / "bin/hdiutil").string(),
                             .spctl = (dir / "bin/spctl").string(),
                             .codesign = (dir / "bin/codesign").string()}),
            .live = dir / "Applications/Vantrel Agent.app",
            .temporary = dir / "tmp",
            .download =
                [&](const std::string&, const fs::path& to) {
                    return fs::copy_file(dir / "image.dmg", image = to);
                },
            .stage = {},
            .shell = "/bin/sh",
        });
        auto digest = c.digest.empty() ? *sha256OfFile(dir / "image.dmg") : c.digest;
        EXPECT_EQ(installer.install({"2.0", "https://x/y.dmg", digest}), c.result);
        queue->runDue();
        EXPECT_EQ(quits, c.result.kind() == UpdateResult::Kind::installed);
        EXPECT_TRUE(testing::eventually([&] { return fs::is_empty(dir / "tmp"); }));
        EXPECT_TRUE(testing::eventually([&] { return names() == c.calls; })) << names();
        if (c.calls == run && c.team == "QK4TR8MZ2V") {
            EXPECT_EQ(calls(),
                      "hdiutil [attach] [-nobrowse] [-readonly] [-mountrandom] [/tmp] [" +
                          image.string() +
                          "]\nspctl [-a] [-t] [exec] [--context] [context:primary-signature] [" +
                          app.string() + "]\ncodesign [-dv] [--verbose=4] [" + app.string() +
                          "]\nhdiutil [detach] [" + mnt + "] [-quiet]\n");
        }
    }
    fs::remove_all(mnt);
}

// The shell reads the quoted paths back exactly as they were, and the whole script parses.
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

}  // namespace
}  // namespace vantrel
