#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "agent/orphan_reaper.h"
#include "support/manual_queue.h"
#include "update/bundle_swap.h"
#include "update/checksum.h"
#include "update/release_installer.h"
#include "update/release_tools_archive.h"
#include "update/release_tools_file_list.h"
#include "update/release_tools_linux.h"
#include "update/swap_script.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string info(const std::string& version, const std::string& more = "") {
    return "{\"CFBundleShortVersionString\": \"" + version + "\"" + more + "}";
}
std::string answering(const std::string& version) {
    return "#!/bin/sh\necho 'Vantrel Agent " + version + "'";
}
const std::string kNoStart = "#!/missing/interpreter\n";

// Live's version, then the staged copy's ("part" without one), the marker's and the trial's.
std::string onDisk(const StagedUpdate& update) {
    auto version = [](const fs::path& bundle) -> std::string {
        auto json = nlohmann::json::parse(readFile(bundle / "Info.json"), nullptr, false);
        return json.is_object()     ? json.value("CFBundleShortVersionString", "?")
               : fs::exists(bundle) ? "part"
                                    : "";
    };
    return "live=" + version(update.live) + " staged=" + version(update.staged()) +
           " marker=" + readFile(update.marker()) + " trial=" + readFile(update.trial());
}

// The installer; its download, from "http://127.0.0.1/ok" alone, a small signed release; its live
// bundle 1.0 in a folder whose name has a quote, "(" and "+".
class Install : public ::testing::Test {
  protected:
    Install() { reset(); }
    // Live 1.0 and nothing beside it; release 2.0 signed by the one allowed signer; none refused.
    void reset() {
        writeFile(live / "Info.json", info("1.0"));
        for (const auto& path : {update.staged(), update.marker(),
                                 fs::path(update.marker()) += ".partial", dir / "refused"}) {
            fs::remove_all(path);
        }
        fs::create_directories(temporary = dir / "tmp");
        ::unsetenv("TMPDIR");
        quits = 0;
        allow("QK4TR8MZ2V namespaces=\"vantrel-release\" ");
        refused = std::make_shared<RefusedRelease>(dir / "refused");
        makeRelease();
    }
    fs::path newKey(const std::string& name) const {
        testing::run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir / name});
        return dir / name;
    }
    void allow(const std::string& line) const {
        writeFile(signers, line + readFile(key.string() + ".pub"));
    }
    fs::path bundle() const { return dir / "release/VantrelAgent"; }
    // Info.json may say `more` after the version.
    void makeRelease(const std::string& version = "2.0", const std::string& executable = "",
                     const std::string& more = "") {
        fs::remove_all(bundle());
        writeFile(bundle() / "bin/VantrelAgent",
                  executable.empty() ? answering(version) + "\n" : executable, true);
        writeFile(bundle() / "Info.json", info(version, more));
        writeFile(bundle() / "Resources/lib/vantrel_agent/__init__.py", "# agent\n");
        writeFile(bundle() / "Resources/lib/vantrel_agent/with space 'q'.py", "x = 1\n");
        // Past the 100 bytes a tar header holds: a long-name record.
        writeFile(bundle() / "Resources/lib/vantrel_agent" / (std::string(90, 'n') + ".py"), "");
        fs::create_directories(bundle() / "Resources/empty");
        fs::create_symlink("lib/vantrel_agent", bundle() / "Resources/agent");
        testing::run("/usr/bin/find", {bundle(), "-type", "f", "-exec", "chmod", "a-w", "{}", "+"});
        sign(key);
    }
    void sign(const fs::path& by) {
        auto list = bundle() / kFileListName;
        fs::remove(list);
        fs::remove(bundle() / kFileListSignatureName);
        auto description = describeBundle(bundle());
        ASSERT_TRUE(description) << "expected a file list of the release";
        writeFile(list, description->dump(1) + "\n");
        testing::run("/usr/bin/ssh-keygen",
                     {"-q", "-Y", "sign", "-f", by, "-n", "vantrel-release", list});
    }
    std::shared_ptr<LinuxReleaseTools> linuxTools(ArchiveLimits limits = {}) const {
        return std::make_shared<LinuxReleaseTools>(signers, "QK4TR8MZ2V", update, limits);
    }
    // The release packed, or garbage when there is no bundle.
    UpdateResult installRelease(const std::string& version, const std::string& digest = "",
                                const std::string& url = "http://127.0.0.1/ok") {
        auto download = dir / "release.tar.gz";
        fs::exists(bundle())
            ? void(testing::run("/bin/tar",
                                {"-czf", download, "-C", bundle().parent_path(), "VantrelAgent"}))
            : writeFile(download, "no tar");
        auto tools = linuxTools();
        auto fetch = [&](const std::string& from, const fs::path& to) {
            std::error_code error;
            ++downloads;
            return from == "http://127.0.0.1/ok" && fs::copy_file(download, to, error);
        };
        ReleaseInstaller installer({.mainQueue = queue,
                                    .requestQuit = [this] { ++quits; },
                                    .tools = tools,
                                    .live = live,
                                    .temporary = temporary,
                                    .download = fetch,
                                    .stage = stageBesideLive(live, tools, refused),
                                    .refused = refused});
        auto result =
            installer.install({version, url, digest.empty() ? *sha256OfFile(download) : digest});
        queue->runDue();
        return result;
    }
    bool noneStaged() const { return !fs::exists(update.staged()) && !fs::exists(update.marker()); }

    TempDir dir;
    fs::path key = newKey("release-key"), signers = dir / "release-signers";
    fs::path live = dir / "Vantrel's (apps)+/VantrelAgent", temporary;
    StagedUpdate update{live};
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<RefusedRelease> refused;
    int quits = 0, downloads = 0;
};

TEST_F(Install, AReleaseThatDidNotStartIsNotFetchedAgainUntilANewerOne) {
    makeRelease("2.0", kNoStart);
    EXPECT_EQ(installRelease("2.0"), UpdateResult::notPutInPlace(reasons::doesNotStart("2.0")));
    makeRelease("2.0");
    int before = downloads;
    EXPECT_EQ(installRelease("2.0"), UpdateResult::failed(reasons::refused("2.0")))
        << "the same version again";
    EXPECT_EQ(downloads, before) << "expected no download of a refused version";
    makeRelease("2.1");
    EXPECT_EQ(installRelease("2.1"), UpdateResult::installed("2.1")) << "a newer version";
}

// A verified release is put in place with the previous copy kept beside it and a quit asked for;
// each failure leaves nothing staged and live unchanged; neither leaves the download.
TEST_F(Install, EachInstallEndsInItsResultAndLeavesOnlyWhatItPutInPlace) {
    auto agent = bundle() / "Resources/lib/vantrel_agent/__init__.py";
    auto list = bundle() / kFileListName;
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string reason = reasons::kNotSigned;
        std::string version = "2.0", digest = "", url = "http://127.0.0.1/ok";
        bool verifiedButNotPutInPlace = false;  // the user hears of it even from an automatic check
        bool installed = false;
    } cases[] = {
        {.what = "a verified newer release", .arrange = {}, .installed = true},
        {"no download", {}, reasons::kDownloadFailed, "2.0", "", "http://127.0.0.1/missing"},
        {"another digest", {}, reasons::kChecksumMismatch, "2.0", std::string(64, 'c')},
        {"no archive", [&] { fs::remove_all(bundle()); }, platform_words::kReleaseWouldNotOpen},
        {"version mismatch", {}, reasons::kNotSigned, "3.0"},
        {"not newer", [&] { writeFile(live / "Info.json", info("2.0")); }},
        {"a changed file",
         [&] {
             fs::permissions(agent, fs::perms::owner_write, fs::perm_options::add);
             writeFile(agent, "# agent, changed\n");
         }},
        {"a changed mode", [&] { fs::permissions(bundle() / "Info.json", fs::perms(0555)); }},
        {"an added file", [&] { writeFile(bundle() / "Resources/lib/extra.py", "import os\n"); }},
        {"an added folder", [&] { fs::create_directories(bundle() / "Resources/more"); }},
        {"a missing file", [&] { fs::remove(bundle() / "Info.json"); }},
        {"a retargeted link",
         [&] {
             fs::remove(bundle() / "Resources/agent");
             fs::create_symlink("empty", bundle() / "Resources/agent");
         }},
        {"a changed list", [&] { writeFile(list, readFile(list) + " "); }},
        {"no signature", [&] { fs::remove(bundle() / kFileListSignatureName); }},
        {"another signer", [&] { sign(newKey("other-key")); }},
        {"another principal", [&] { allow("ZZ9ZZ9ZZ9Z namespaces=\"vantrel-release\" "); }},
        {"another namespace", [&] { allow("QK4TR8MZ2V namespaces=\"file\" "); }},
        {"built for another architecture",
         [&] { makeRelease("2.0", "", R"(, "VantrelArchitecture": "riscv64")"); },
         reasons::builtForAnotherMachine("riscv64", thisMachineArchitecture())},
        {"no temporary folder",
         [&] {
             temporary.clear();
             ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
         },
         reasons::kCouldNotPrepare},
        {.what = "staging fails",
         .arrange = [&] { fs::create_directories(update.marker().string() + ".partial/x"); },
         .reason = reasons::kCouldNotPrepare,
         .verifiedButNotPutInPlace = true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        c.arrange ? c.arrange() : void();
        auto before = onDisk(update);
        EXPECT_EQ(installRelease(c.version, c.digest, c.url),
                  c.installed                  ? UpdateResult::installed("2.0")
                  : c.verifiedButNotPutInPlace ? UpdateResult::notPutInPlace(c.reason)
                                               : UpdateResult::failed(c.reason));
        EXPECT_EQ(quits, c.installed ? 1 : 0) << "the quits asked for";
        EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "expected no download left";
        EXPECT_EQ(onDisk(update), c.installed ? "live=2.0 staged=1.0 marker=2.0 trial=" : before);
    }
}

// Through another link that reads as if it stayed inside too; an absolute link even to a place
// inside (the bundle moves); any kind but files, folders and links.
using DescribeBundle = Install;
TEST_F(DescribeBundle, RefusesLinksThatLeaveOrAreAbsoluteAndOtherKinds) {
    fs::create_symlink("..", bundle() / "Resources/lib/up");
    for (const auto& link :
         {fs::path("lib/up/../.."), fs::path("/etc"), bundle() / "Resources/lib"}) {
        fs::create_symlink(link, bundle() / "Resources/out");
        EXPECT_FALSE(describeBundle(bundle())) << "expected no list for a link to " << link;
        fs::remove(bundle() / "Resources/out");
    }
    ASSERT_EQ(::mkfifo((bundle() / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(describeBundle(bundle())) << "expected no list with a fifo";
}

// Checked before any marker says it is complete: by `verify`, by its version and by running it.
TEST_F(Install, StagesOnlyACopyThatIsVerifiedAndAnswersItsVersion) {
    struct Case {
        const char* copy;
        std::string executable;
        StageOutcome outcome;
        bool verified = true;
        std::string version = "2.0";
    } cases[] = {
        {"one that answers its version", answering("2.0"), StageOutcome::staged},
        {"one the verification refuses", answering("2.0"), StageOutcome::notCopied, false},
        {"one of another version", answering("2.0"), StageOutcome::notCopied, true, "2.1"},
        {"one whose executable cannot start", kNoStart, StageOutcome::doesNotStart},
        {"one that answers another version", answering("2.1"), StageOutcome::doesNotStart},
        {"one that says more", answering("2.0") + "; echo warning >&2", StageOutcome::doesNotStart},
        {"one that answers and fails", answering("2.0") + "; exit 1", StageOutcome::doesNotStart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.copy);
        makeRelease("2.0", c.executable + "\n");
        EXPECT_EQ(stageUpdate(
                      update, bundle(), c.version,
                      [&](const fs::path& copy) { return copy == update.staged() && c.verified; }),
                  c.outcome);
        EXPECT_EQ(onDisk(update), c.outcome == StageOutcome::staged
                                      ? "live=1.0 staged=2.0 marker=2.0 trial="
                                      : "live=1.0 staged= marker= trial=");
    }
}

// What a power loss or a failed start can leave at each step of an update, what the process that
// next holds the lock makes of it, and what is left once that step is done.
TEST(SwapStep, SettlesEachStateAnUpdateCanLeave) {
    enum Self { live, parked, trial };  // where this process runs from; trial: live, on trial
    struct Case {
        const char* state;
        const char* staged;  // the staged folder's version; nullptr: none, "": a partial copy
        const char* marker;  // nullptr: none
        bool tried;
        const char* live;
        Self self;
        SwapStep step;
        const char* after;  // onDisk once the step is done
        bool refused = false;
    } cases[] = {
        // clang-format off
        {"nothing staged", nullptr, nullptr, false, "1.0", live, SwapStep::done, "live=1.0 staged= marker= trial="},
        {"copy under way", "", nullptr, false, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial="},
        {"copy done, no marker yet", "2.0", nullptr, false, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial="},
        {"marker beside a partial copy", "", "2.0", false, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial="},
        {"marker of a lost copy", nullptr, "2.0", false, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial="},
        {"marked, not exchanged", "2.0", "2.0", false, "1.0", live, SwapStep::exchange, "live=2.0 staged=1.0 marker=2.0 trial="},
        {"marked, but refused here", "2.0", "2.0", false, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial=", true},
        {"exchanged, the previous copy at its end", "1.0", "2.0", false, "2.0", parked, SwapStep::tryNew, "live=2.0 staged=1.0 marker=2.0 trial=2.0"},
        {"exchanged, started afresh from live", "1.0", "2.0", false, "2.0", live, SwapStep::keepNew, "live=2.0 staged= marker= trial="},
        {"tried, the new version holds the lock", "1.0", "2.0", true, "2.0", trial, SwapStep::keepNew, "live=2.0 staged= marker= trial="},
        {"tried, the guardian after the new one ended", "1.0", "2.0", true, "2.0", parked, SwapStep::rollBack, "live=1.0 staged= marker= trial="},
        {"tried, a later start finds it unfinished", "1.0", "2.0", true, "2.0", live, SwapStep::rollBack, "live=1.0 staged= marker= trial="},
        {"rolled back, marker left", "2.0", "2.0", true, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial=", true},
        {"trial file alone", nullptr, nullptr, true, "1.0", live, SwapStep::clearLeftovers, "live=1.0 staged= marker= trial="},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        TempDir dir;
        StagedUpdate update{dir / "opt (1)+'/VantrelAgent"};
        writeFile(update.live / "Info.json", info(c.live));
        c.staged ? writeFile(update.staged() / "bin/VantrelAgent", "x") : void();
        (c.staged && *c.staged) ? writeFile(update.staged() / "Info.json", info(c.staged)) : void();
        c.marker ? writeFile(update.marker(), c.marker) : void();
        c.tried ? writeFile(update.trial(), "2.0") : void();
        auto step = nextSwapStep(readSwapState(
            update, c.self == parked ? update.staged() : update.live, c.self == trial,
            [&](const std::string& version) { return c.refused && version == "2.0"; }));
        EXPECT_EQ(step, c.step);
        bool done = step == SwapStep::exchange   ? exchangeStaged(update) == 0
                    : step == SwapStep::rollBack ? rollBack(update, dir / "refused")
                    : step == SwapStep::tryNew   ? markTried(update)
                                                 : (clearLeftovers(update), true);
        EXPECT_TRUE(done) << "expected the step carried out";
        EXPECT_EQ(onDisk(update), c.after) << "afterwards";
        EXPECT_EQ(readFile(dir / "refused"), step == SwapStep::rollBack ? "2.0" : "")
            << "the refused version";
    }
}

TEST(IsInstallInterpreter, KnowsEarlierCopiesOfThisInstallOnly) {
    const std::string opt = "/vantrel-test/opt/", python = "/Resources/python/bin/python3";
    const std::string ours = opt + "VantrelAgent" + python, parked = opt + ".VantrelAgent-incoming";
    const std::string other = "/vantrel-test/other/.VantrelAgent-";
    for (const auto& executable :
         {ours, ours + " (deleted)", parked + python, parked + python + " (deleted)",
          opt + ".VantrelAgent-installing-x1/VantrelAgent" + python}) {
        EXPECT_TRUE(isInstallInterpreter(executable, ours)) << executable;
    }
    for (const auto& executable :
         {opt + "VantrelAgent-incoming" + python, other + "incoming" + python,
          parked + python + ".11", parked + "/python/bin/python3",
          opt + ".VantrelAgent-installing-x1/Other" + python,
          opt + ".Other-x1/VantrelAgent" + python, other + "x1/VantrelAgent" + python,
          std::string("/usr/bin/python3")}) {
        EXPECT_FALSE(isInstallInterpreter(executable, ours)) << executable;
    }
}

// Archives written as an attacker's tool would, judged alike by the unpacking and by
// scripts/install: files, folders and links whose path stays inside the bundle folder, also
// through the links before and after them, are kept; anything else refuses the archive whole.
using LinuxTools = Install;
TEST_F(LinuxTools, UnpackAndInstallScriptKeepOnlyMembersInsideTheBundleFolder) {
    const std::string writer =
        "import io, sys, tarfile\n"
        "t = tarfile.open(sys.argv[1], 'w:gz')\n"
        "def special(name, kind, target='', data=b''):\n"
        "    i = tarfile.TarInfo(name); i.type, i.linkname, i.size = kind, target, len(data)\n"
        "    i.mode = 0o755; t.addfile(i, io.BytesIO(data))\n"
        "def file(name): special(name, tarfile.REGTYPE, data=b'{}')\n"
        "def link(name, target): special(name, tarfile.SYMTYPE, target)\n"
        "def folder(name): special(name, tarfile.DIRTYPE)\n"
        "def top(): folder('./VantrelAgent/'); file('VantrelAgent/Info.json')\n";
    const std::pair<const char*, bool> cases[] = {
        {"top(); folder('VantrelAgent/sub'); link('VantrelAgent/sub/up', '../Info.json')", true},
        {"top(); link('VantrelAgent/x', 'sub'); link('VantrelAgent/y', 'x/../Info.json')", true},
        {"top(); link('VantrelAgent/x', '.'); link('VantrelAgent/y', 'x/x/x/Info.json')", true},
        {"top(); file(sys.argv[2] + '/evil')", false},
        {"top(); file('/VantrelAgent/evil')", false},
        {"top(); file('VantrelAgent/../../evil')", false},
        {"top(); file('')", false},
        {"top(); special('VantrelAgent/null', tarfile.CHRTYPE)", false},
        {"top(); special('VantrelAgent/hard', tarfile.LNKTYPE, 'VantrelAgent/Info.json')", false},
        {"top(); link('VantrelAgent/out', '../../etc')", false},
        {"top(); link('VantrelAgent/up', '../Other/x')", false},
        {"top(); link('VantrelAgent/abs', '/etc')", false},
        {"top(); link('VantrelAgent/a/', '../../x')", false},
        {"top(); link('VantrelAgent/a', '.'); link('VantrelAgent/a/b', '../x')", false},
        {"top(); link('VantrelAgent/l', 'Resources'); file('VantrelAgent/l/evil')", false},
        {"top(); link('VantrelAgent/x', '.'); link('VantrelAgent/y', 'x/x/x/../..')", false},
        {"top(); link('VantrelAgent/y', 'x/..'); link('VantrelAgent/x', '..')", false},
        {"top(); link('VantrelAgent/x', 'y'); link('VantrelAgent/y', 'x')", false},
        {"top(); file('Other/evil')", false},
        {"top(); file('VantrelAgent/Info.json')", false},
    };
    auto archive = dir / "archive.tar.gz";
    auto home = dir / "home";
    for (const auto& [members, kept] : cases) {
        SCOPED_TRACE(std::string(members) + (kept ? ": kept" : ": refused"));
        testing::run(VANTREL_SYSTEM_PYTHON,
                     {"-c", writer + members + "\nt.close()\n", archive, dir.path()});
        auto tools = linuxTools();
        auto staged = tools->unpack(archive);
        EXPECT_EQ(staged.has_value(), kept) << "by the unpacking";
        staged ? tools->discard(*staged) : void();
        EXPECT_TRUE(noneStaged()) << "expected nothing left staged";
        auto installed =
            runTool("/usr/bin/env", {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(),
                                     VANTREL_SOURCE_DIR "/scripts/install", archive});
        EXPECT_EQ(installed.status, 1) << "expected scripts/install to refuse a release unsigned";
        EXPECT_EQ(installed.output.find("unsafe member") == std::string::npos, kept)
            << "by scripts/install: " << installed.output;
        EXPECT_FALSE(fs::exists(home / ".local/opt/VantrelAgent")) << "expected nothing installed";
        EXPECT_FALSE(fs::exists(dir / "evil")) << "expected nothing written outside";
    }
}

// What the unpacking could not write either is refused by the judge already.
TEST(ArchiveIsSafe, RefusesAHardLinkAndTheBundleFolderAsAFile) {
    using Kind = ArchiveEntry::Kind;
    const ArchiveEntry top{Kind::folder, "VantrelAgent/", "", 0, 0755},
        file{Kind::file, "VantrelAgent/a", "", 0, 0644};
    EXPECT_TRUE(archiveIsSafe({top, file}, "VantrelAgent")) << "expected a folder and a file kept";
    EXPECT_FALSE(archiveIsSafe(
        {top, file, {Kind::hardlink, "VantrelAgent/b", "VantrelAgent/a", 0, 0644}}, "VantrelAgent"))
        << "expected a hard link refused";
    EXPECT_FALSE(archiveIsSafe({{Kind::file, "VantrelAgent/", "", 0, 0644}}, "VantrelAgent"))
        << "expected the bundle folder as a file refused";
}

// A few KiB that expand to 4 MiB, refused before anything is written; with room, unpacked into
// the staging folder with files read-only (set-id bits dropped) and folders 0755 whatever the
// umask, which discard removes.
TEST_F(LinuxTools, UnpackRefusesAnArchiveThatExpandsPastTheLimits) {
    writeFile(dir / "bomb/VantrelAgent/zeros", std::string(4 << 20, '\0'));
    fs::permissions(dir / "bomb/VantrelAgent/zeros", fs::perms(04775));
    fs::create_directories(dir / "bomb/VantrelAgent/empty");
    fs::permissions(dir / "bomb/VantrelAgent/empty", fs::perms(0700));
    testing::run("/bin/tar", {"-czf", dir / "bomb.tar.gz", "-C", dir / "bomb", "VantrelAgent"});
    ASSERT_LT(fs::file_size(dir / "bomb.tar.gz"), 64u << 10) << "expected a small archive";
    EXPECT_FALSE(linuxTools({.bytes = 1 << 20})->unpack(dir / "bomb.tar.gz")) << "past the bytes";
    EXPECT_FALSE(linuxTools({.entries = 1})->unpack(dir / "bomb.tar.gz")) << "past the entries";
    EXPECT_TRUE(noneStaged()) << "expected nothing left staged";
    auto roomy = linuxTools({.bytes = 4 << 20, .entries = 3});
    mode_t previous = ::umask(077);
    auto staged = roomy->unpack(dir / "bomb.tar.gz");
    ::umask(previous);
    ASSERT_EQ(staged, update.staged()) << "at both limits";
    auto mode = [&](const char* name) { return fs::status(*staged / name).permissions(); };
    EXPECT_EQ(std::tuple(mode(""), mode("empty"), mode("zeros"), fs::file_size(*staged / "zeros")),
              std::tuple(fs::perms(0755), fs::perms(0755), fs::perms(0555), 4u << 20))
        << "the bundle folder's mode, a 0700 folder's, the file's and its size";
    roomy->discard(*staged);
    EXPECT_TRUE(noneStaged()) << "expected the discard to remove it";
}

// Quotes, "$", backquotes and backslashes in the paths are read back exactly.
TEST(MacTools, TheSwapScriptReadsItsPathsBackExactly) {
    const SwapPaths paths{.live = "/Users/o'brien/$HOME \"x\" `y` \\ (Agent)+.app",
                          .staged = "/Users/o'brien/.VantrelAgent-incoming.app",
                          .previous = "/Users/o'brien/.VantrelAgent-previous.app",
                          .newApp = "/tmp/dmg.x/Vantrel Agent.app"};
    auto text = macSwapScript(paths);
    auto header = text.substr(0, text.find("\n\n"));
    EXPECT_EQ(
        runTool("/bin/sh", {"-c", header + "\nprintf '%s|%s' \"$live\" \"$previous\""}).output,
        paths.live.string() + "|" + paths.previous.string());
    EXPECT_EQ(runTool("/bin/sh", {"-n", "-c", text}).status, 0) << "expected valid shell";
}

// A grandchild that writes only once the shell has ended (its fifo's one writer closed) is still
// read. What the user's shell sets never reaches a tool: it gets a fixed path and the C locale.
TEST(RunTool, GivesTheToolsStatusAndOutput) {
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    UniqueFd open(::fcntl(null.get(), F_DUPFD, 40));  // not close-on-exec, on purpose
    ::setenv("TAR_OPTIONS", "--totals", 1);
    TempDir dir;
    const std::string fifo = (dir / "ended").string();
    const std::tuple<const char*, std::string, int, std::string> rows[] = {
        {"both streams in order, read until a grandchild closes the pipe",
         "mkfifo " + fifo + "; echo out; echo err >&2; (cat " + fifo + "; echo late) & exec 4>" +
             fifo + "; echo out2; exit 3",
         3, "out\nerr\nout2\nlate\n"},
        {"past the pipe's size", "head -c 1000000 /dev/zero | tr '\\0' a", 0,
         std::string(1000000, 'a')},
        {"output that is not UTF-8 is empty", "printf 'ok \\377 bad'; exit 4", 4, ""},
        {"none of our descriptors is inherited",
         "[ -e /proc/self/fd/" + std::to_string(open.get()) + " ] || echo closed", 0, "closed\n"},
        {"an environment of its own", "echo ${TAR_OPTIONS-none} $LC_ALL $PATH", 0,
         "none C /usr/local/bin:/usr/bin:/bin\n"},
    };
    for (const auto& [step, script, status, output] : rows) {
        auto result = runTool("/bin/sh", {"-c", script});
        EXPECT_EQ(result.status, status) << step;
        EXPECT_EQ(result.output, output) << step;
    }
    ::unsetenv("TAR_OPTIONS");
    EXPECT_EQ(runTool("/nonexistent/tool", {"x"}).status, -1) << "expected -1 for a missing tool";
}

// One that names none comes from before releases named one, all built for amd64.
TEST(ReleaseArchitecture, AReleaseFitsOnlyTheArchitectureItNames) {
    // Info.json's "VantrelArchitecture" as JSON ("": none) and the architecture read from it.
    for (auto [named, read] : {std::pair<std::string, std::string>{"\"arm64\"", "arm64"},
                               {"", "amd64"},
                               {"\"AMD64\"", "AMD64"},
                               {"64", "unknown"}}) {
        auto info = nlohmann::json::parse(
            named.empty() ? "{}" : "{\"VantrelArchitecture\": " + named + "}");
        EXPECT_EQ(architectureIn(info), read) << named;
        EXPECT_EQ(releaseFitsThisMachine(info, "amd64"), read == "amd64") << named << " on amd64";
    }
    EXPECT_EQ(architectureIn(std::nullopt), "amd64") << "no Info.json at all";
}

}  // namespace
}  // namespace vantrel
