#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "app/update_resume.h"
#include "support/child_process.h"
#include "support/manual_queue.h"
#include "support/run_tool.h"
#include "update/archive_extraction.h"
#include "update/bundle_swap.h"
#include "update/checksum.h"
#include "update/release_installer.h"
#include "update/release_tools_archive.h"
#include "update/release_tools_file_list.h"
#include "update/release_tools_linux.h"
#include "update/release_tools_mac.h"
#include "update/swap_script.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string info(const std::string& version) {
    return "{\"CFBundleShortVersionString\": \"" + version + "\"}";
}

// The installer; its download, from "http://127.0.0.1/ok" alone, a small signed release; its live
// bundle 1.0 in a folder whose name has a quote, "(" and "+".
class Install : public ::testing::Test {
  protected:
    Install() {
        writeFile(live / "Info.json", info("1.0"));
        fs::create_directories(dir / "tmp");
        allow("QK4TR8MZ2V namespaces=\"vantrel-release\" ");
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
    // A release whose executable answers --version with `version`, or is `executable`.
    void makeRelease(const std::string& version = "2.0", std::string executable = "") {
        if (executable.empty()) {
            executable = "#!/bin/sh\necho 'Vantrel Agent " + version + "'\n";
        }
        fs::remove_all(bundle());
        writeFile(bundle() / "bin/VantrelAgent", executable, true);
        writeFile(bundle() / "Info.json", info(version));
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
        ASSERT_TRUE(description);
        writeFile(list, description->dump(1) + "\n");
        testing::run("/usr/bin/ssh-keygen",
                     {"-q", "-Y", "sign", "-f", by, "-n", "vantrel-release", list});
    }
    fs::path pack() const {
        testing::run("/bin/tar",
                     {"-czf", dir / "release.tar.gz", "-C", dir / "release", "VantrelAgent"});
        return dir / "release.tar.gz";
    }
    std::shared_ptr<LinuxReleaseTools> linuxTools(ArchiveLimits limits = {}) const {
        return std::make_shared<LinuxReleaseTools>(signers, "QK4TR8MZ2V", StagedUpdate{live},
                                                   limits);
    }
    // Garbage without a bundle.
    UpdateResult installRelease(const std::string& version, const std::string& digest = "",
                                const std::string& url = "http://127.0.0.1/ok") {
        auto download = dir / "garbage.tar.gz";
        fs::exists(bundle()) ? void(download = pack()) : writeFile(download, "no tar");
        auto tools = linuxTools();
        ++installs;
        ReleaseInstaller installer({
            .mainQueue = queue,
            .requestQuit = [this] { ++quits; },
            .tools = tools,
            .live = live,
            .temporary = temporary,
            .download =
                [&](const std::string& from, const fs::path& to) {
                    std::error_code error;
                    ++downloads;
                    return from == "http://127.0.0.1/ok" && fs::copy_file(download, to, error);
                },
            .stage = stageBesideLive(live, tools, refused),
            .refused = refused,
        });
        auto result =
            installer.install({version, url, digest.empty() ? *sha256OfFile(download) : digest});
        queue->runDue();
        return result;
    }
    bool leftNothing() const { return fs::is_empty(dir / "tmp"); }
    bool nothingStaged() const {
        return !fs::exists(StagedUpdate{live}.staged()) && !fs::exists(StagedUpdate{live}.marker());
    }

    TempDir dir;
    fs::path key = newKey("release-key"), signers = dir / "release-signers";
    fs::path live = dir / "Vantrel's (apps)+/VantrelAgent";
    fs::path temporary = dir / "tmp";
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<RefusedRelease> refused = std::make_shared<RefusedRelease>(dir / "refused");
    int quits = 0, downloads = 0, installs = 0;
};

// Put in place while the application runs, the previous copy kept beside it, then the quit.
TEST_F(Install, PutsTheVerifiedReleaseInPlaceAndKeepsThePreviousBesideIt) {
    EXPECT_EQ(installRelease("2.0"), UpdateResult::installed("2.0"));
    EXPECT_EQ(quits, 1) << "expected one quit asked for";
    EXPECT_TRUE(leftNothing()) << "expected no download left";
    StagedUpdate update{live};
    EXPECT_EQ(readFile(live / "Info.json"), info("2.0"));
    EXPECT_TRUE(fs::exists(live / kFileListName));
    EXPECT_EQ(readFile(update.staged() / "Info.json"), info("1.0"));
    EXPECT_EQ(readFile(update.marker()), "2.0");
    EXPECT_FALSE(fs::exists(update.trial()));
}

// A release that failed here is not fetched again, in this run or after a roll-back, until a
// newer one appears.
TEST_F(Install, ARefusedReleaseIsNotFetchedAgainUntilANewerOne) {
    struct Case {
        const char* refusal;
        std::function<void()> arrange;
    } cases[] = {
        {"its executable did not start in this run",
         [&] {
             makeRelease("2.0", "#!/missing/interpreter\n");
             EXPECT_EQ(installRelease("2.0"),
                       UpdateResult::notPutInPlace(reasons::doesNotStart("2.0")));
         }},
        {"a roll-back recorded it", [&] { writeFile(dir / "refused", "2.0"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        refused = std::make_shared<RefusedRelease>(dir / "refused");
        c.arrange();
        makeRelease("2.0");
        int before = downloads;
        EXPECT_EQ(installRelease("2.0"), UpdateResult::failed(reasons::refused("2.0")))
            << "the same version again";
        EXPECT_EQ(downloads, before) << "no download of a refused version";
        EXPECT_EQ(fs::exists(StagedUpdate{live}.staged()), false);
        makeRelease("2.1");
        EXPECT_EQ(installRelease("2.1"), UpdateResult::installed("2.1")) << "a newer version";
        writeFile(live / "Info.json", info("1.0"));
        fs::remove_all(StagedUpdate{live}.staged());
        fs::remove(StagedUpdate{live}.marker());
        fs::remove(dir / "refused");
    }
}

// Each failure leaves nothing of the run and nothing live changed.
TEST_F(Install, EachFailureCleansUpAndGivesItsReason) {
    auto bundle = this->bundle();
    auto agent = bundle / "Resources/lib/vantrel_agent/__init__.py";
    auto list = bundle / kFileListName;
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string reason = reasons::kNotSigned;
        std::string version = "2.0", digest = "", url = "http://127.0.0.1/ok";
        bool verifiedButNotPutInPlace = false;  // the user hears of it even from an automatic check
    } cases[] = {
        {"no download", {}, reasons::kDownloadFailed, "2.0", "", "http://127.0.0.1/missing"},
        {"another digest", {}, reasons::kChecksumMismatch, "2.0", std::string(64, 'c')},
        {"no archive", [&] { fs::remove_all(bundle); }, platform_words::kReleaseWouldNotOpen},
        {"version mismatch", {}, reasons::kNotSigned, "3.0"},
        {"not newer", [&] { writeFile(live / "Info.json", info("2.0")); }},
        {"a changed file",
         [&] {
             fs::permissions(agent, fs::perms::owner_write, fs::perm_options::add);
             writeFile(agent, "# agent, changed\n");
         }},
        {"a changed mode", [&] { fs::permissions(bundle / "Info.json", fs::perms(0555)); }},
        {"an added file", [&] { writeFile(bundle / "Resources/lib/extra.py", "import os\n"); }},
        {"an added folder", [&] { fs::create_directories(bundle / "Resources/more"); }},
        {"a missing file", [&] { fs::remove(bundle / "Info.json"); }},
        {"a retargeted link",
         [&] {
             fs::remove(bundle / "Resources/agent");
             fs::create_symlink("empty", bundle / "Resources/agent");
         }},
        {"a changed list", [&] { writeFile(list, readFile(list) + " "); }},
        {"no signature", [&] { fs::remove(bundle / kFileListSignatureName); }},
        {"another signer", [&] { sign(newKey("other-key")); }},
        {"another principal", [&] { allow("ZZ9ZZ9ZZ9Z namespaces=\"vantrel-release\" "); }},
        {"another namespace", [&] { allow("QK4TR8MZ2V namespaces=\"file\" "); }},
        {"built for another architecture",
         [&] {
             fs::remove(bundle / "Info.json");
             writeFile(
                 bundle / "Info.json",
                 R"({"CFBundleShortVersionString": "2.0", "VantrelArchitecture": "riscv64"})");
             fs::permissions(bundle / "Info.json", fs::perms(0444));
             sign(key);
         },
         reasons::builtForAnotherMachine("riscv64", thisMachineArchitecture())},
        {"no temporary folder",
         [&] {
             temporary.clear();
             ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
         },
         reasons::kCouldNotPrepare},
        {"staging fails",
         [&] { fs::create_directories(StagedUpdate{live}.marker().string() + ".partial/x"); },
         reasons::kCouldNotPrepare, "2.0", "", "http://127.0.0.1/ok", true},
        {"an executable that does not start",
         [&] { makeRelease("2.0", "#!/missing/interpreter\n"); }, reasons::doesNotStart("2.0"),
         "2.0", "", "http://127.0.0.1/ok", true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.arrange) {
            c.arrange();
        }
        auto before = readFile(live / "Info.json");
        EXPECT_EQ(installRelease(c.version, c.digest, c.url),
                  c.verifiedButNotPutInPlace ? UpdateResult::notPutInPlace(c.reason)
                                             : UpdateResult::failed(c.reason));
        EXPECT_EQ(quits, 0) << "expected no quit";
        EXPECT_TRUE(leftNothing()) << "expected no download left";
        EXPECT_EQ(readFile(live / "Info.json"), before) << "expected live unchanged";
        EXPECT_TRUE(nothingStaged()) << "expected nothing staged";
        writeFile(live / "Info.json", info("1.0"));
        temporary = dir / "tmp";
        ::unsetenv("TMPDIR");
        fs::remove_all(StagedUpdate{live}.marker().string() + ".partial");
        refused = std::make_shared<RefusedRelease>(dir / "refused");
        makeRelease();
        allow("QK4TR8MZ2V namespaces=\"vantrel-release\" ");
    }
}

// A link that climbs out of the bundle, also through another link that reads as if it stayed
// inside, an absolute link even to a place inside (the bundle moves), and any kind but files,
// folders and links make no list.
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

// Only a 200 answer within the time and size limits is kept, whole or not at all: a refused one
// leaves no partial file behind.
TEST(DownloadRelease, KeepsOnlyAnAnswerOfStatus200WithinTheLimit) {
    testing::LoopbackServer server;
    server.serve("/ok", {{"body", "release bytes"}});
    server.serve("/gone", {{"status", 404}, {"body", "no"}});
    server.serve("/moved-ok", {{"status", 302}, {"location", "/ok"}});
    server.serve("/slow", {{"body", "late"}, {"delay", 3}});
    server.serve("/endless", {{"endless", true}});
    TempDir dir;
    struct Case {
        std::string path;
        bool kept;
        double seconds = 600;
        std::uint64_t ceiling = 1 << 20;
        std::string to = "file";
    } cases[] = {
        {"/ok", true},          {"/moved-ok", true},
        {"/gone", false},       {"/slow", false, 1},
        {"/endless", false},    {"/ok", false, 600, 12},
        {"/ok", true, 600, 13}, {"/ok", false, 600, 1 << 20, "missing folder/file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.ceiling));
        fs::remove(dir / "file");
        EXPECT_EQ(downloadRelease(server.base() + c.path, dir / c.to, c.seconds, c.ceiling),
                  c.kept);
        EXPECT_EQ(readFile(dir / "file"), c.kept ? "release bytes" : "");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), c.kept ? 1 : 0)
            << "expected only the kept file in the folder";
    }
    EXPECT_FALSE(downloadRelease("file:///etc/hostname", dir / "file"));
    EXPECT_FALSE(fs::exists(dir / "file"));
}

// The copy is checked before any marker says it is complete: by `verify`, by its version and by
// running it; a bundle already in the staging folder is used where it is.
TEST_F(Install, StagesOnlyACopyThatIsVerifiedAndAnswersItsVersion) {
    struct Case {
        const char* copy;
        std::string executable;
        StageOutcome outcome;
        bool verified = true;
        std::string version = "2.0";
    } cases[] = {
        {"one that answers its version", "#!/bin/sh\necho 'Vantrel Agent 2.0'\n",
         StageOutcome::staged},
        {"one the verification refuses", "#!/bin/sh\necho 'Vantrel Agent 2.0'\n",
         StageOutcome::notCopied, false},
        {"one of another version", "#!/bin/sh\necho 'Vantrel Agent 2.0'\n", StageOutcome::notCopied,
         true, "2.1"},
        {"one whose executable cannot start", "#!/missing/interpreter\n",
         StageOutcome::doesNotStart},
        {"one that answers another version", "#!/bin/sh\necho 'Vantrel Agent 2.1'\n",
         StageOutcome::doesNotStart},
        {"one that says more", "#!/bin/sh\necho 'Vantrel Agent 2.0'; echo warning >&2\n",
         StageOutcome::doesNotStart},
        {"one that answers and fails", "#!/bin/sh\necho 'Vantrel Agent 2.0'; exit 1\n",
         StageOutcome::doesNotStart},
    };
    StagedUpdate update{live};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.copy);
        makeRelease("2.0", c.executable);
        EXPECT_EQ(stageUpdate(
                      update, bundle(), c.version,
                      [&](const fs::path& copy) { return copy == update.staged() && c.verified; }),
                  c.outcome);
        bool staged = c.outcome == StageOutcome::staged;
        EXPECT_EQ(fs::exists(update.staged()), staged) << "the staged copy";
        EXPECT_EQ(readFile(update.marker()), staged ? "2.0" : "") << "the marker";
        EXPECT_EQ(readFile(live / "Info.json"), info("1.0")) << "live";
    }
    SCOPED_TRACE("a bundle unpacked into the staging folder");
    makeRelease("2.0");
    fs::rename(bundle(), update.staged());
    auto inode = [&] {
        struct stat info {};
        ::stat(update.staged().c_str(), &info);
        return info.st_ino;
    };
    auto before = inode();
    EXPECT_EQ(stageUpdate(update, update.staged(), "2.0", [](const fs::path&) { return true; }),
              StageOutcome::staged);
    EXPECT_EQ(inode(), before) << "used where it is";
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
        const char* liveAfter;
        bool refused = false;
    } cases[] = {
        {"nothing staged", nullptr, nullptr, false, "1.0", live, SwapStep::done, "1.0"},
        {"copy under way", "", nullptr, false, "1.0", live, SwapStep::clearLeftovers, "1.0"},
        {"copy done, no marker yet", "2.0", nullptr, false, "1.0", live, SwapStep::clearLeftovers,
         "1.0"},
        {"marker beside a partial copy", "", "2.0", false, "1.0", live, SwapStep::clearLeftovers,
         "1.0"},
        {"marker of a lost copy", nullptr, "2.0", false, "1.0", live, SwapStep::clearLeftovers,
         "1.0"},
        {"marked, not exchanged", "2.0", "2.0", false, "1.0", live, SwapStep::exchange, "2.0"},
        {"marked, but refused here", "2.0", "2.0", false, "1.0", live, SwapStep::clearLeftovers,
         "1.0", true},
        {"exchanged, the previous copy at its end", "1.0", "2.0", false, "2.0", parked,
         SwapStep::tryNew, "2.0"},
        {"exchanged, started afresh from live", "1.0", "2.0", false, "2.0", live, SwapStep::keepNew,
         "2.0"},
        {"tried, the new version holds the lock", "1.0", "2.0", true, "2.0", trial,
         SwapStep::keepNew, "2.0"},
        {"tried, the guardian after the new one ended", "1.0", "2.0", true, "2.0", parked,
         SwapStep::rollBack, "1.0"},
        {"tried, a later start finds it unfinished", "1.0", "2.0", true, "2.0", live,
         SwapStep::rollBack, "1.0"},
        {"rolled back, marker left", "2.0", "2.0", true, "1.0", live, SwapStep::clearLeftovers,
         "1.0", true},
        {"trial file alone", nullptr, nullptr, true, "1.0", live, SwapStep::clearLeftovers, "1.0"},
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
        auto refusedFile = dir / "data/refused-update";
        auto state = readSwapState(
            update, c.self == parked ? update.staged() : update.live, c.self == trial,
            [&](const std::string& version) { return c.refused && version == "2.0"; });
        auto step = nextSwapStep(state);
        EXPECT_EQ(step, c.step);
        if (step == SwapStep::exchange) {
            EXPECT_EQ(exchangeStaged(update), 0);
        } else if (step == SwapStep::rollBack) {
            EXPECT_TRUE(rollBack(update, refusedFile));
            EXPECT_EQ(readFile(refusedFile), "2.0") << "the refused version, recorded";
        } else if (step == SwapStep::tryNew) {
            EXPECT_TRUE(markTried(update));
            EXPECT_EQ(readFile(update.trial()), "2.0") << "the trial, recorded";
        } else {
            clearLeftovers(update);
        }
        EXPECT_EQ(readFile(update.live / "Info.json"), info(c.liveAfter)) << "live afterwards";
        bool exchanged = step == SwapStep::exchange || step == SwapStep::tryNew;
        EXPECT_EQ(fs::exists(update.staged()), exchanged) << "a previous copy kept beside live";
        EXPECT_EQ(fs::exists(update.marker()), exchanged) << "the marker";
    }
}

TEST(IsInstallInterpreter, KnowsEarlierCopiesOfThisInstallOnly) {
    TempDir dir;
    std::string opt = (dir / "opt").string();
    std::string interpreter = opt + "/VantrelAgent/Resources/python/bin/python3";
    std::string parked = opt + "/.VantrelAgent-incoming/Resources/python/bin/python3";
    std::string moved =
        opt + "/.VantrelAgent-installing-x1/VantrelAgent/Resources/python/bin/python3";
    writeFile(interpreter, "");
    for (const auto& ours : {interpreter, interpreter + " (deleted)", parked, parked + " (deleted)",
                             moved + " (deleted)"}) {
        EXPECT_TRUE(isInstallInterpreter(ours, interpreter)) << ours;
    }
    for (const auto& other :
         {opt + "/VantrelAgent-incoming/Resources/python/bin/python3",
          (dir / "other/.VantrelAgent-incoming/Resources/python/bin/python3").string(),
          parked + ".11", opt + "/.VantrelAgent-incoming/python/bin/python3",
          opt + "/.VantrelAgent-installing-x1/Other/Resources/python/bin/python3",
          opt + "/.Other-x1/VantrelAgent/Resources/python/bin/python3",
          (dir / "other/.VantrelAgent-x1/VantrelAgent/Resources/python/bin/python3").string(),
          std::string("/usr/bin/python3")}) {
        EXPECT_FALSE(isInstallInterpreter(other, interpreter)) << other;
    }
}

// An agent that ignores SIGTERM, run by the live copy or by one a swap parked (even deleted), is
// gone when endAgent returns; any other process is left alone.
TEST(EndAgent, EndsTheOldCopysAgentEvenWhenItIgnoresSigterm) {
    for (auto [runsFrom, deleted] : {std::pair{"VantrelAgent", false},
                                     {".VantrelAgent-incoming", false},
                                     {".VantrelAgent-incoming", true},
                                     {"Elsewhere", false}}) {
        SCOPED_TRACE(runsFrom);
        bool ended = runsFrom != std::string("Elsewhere");
        TempDir dir;
        auto interpreter = dir / "opt/VantrelAgent/Resources/python/bin/python3";
        auto running = dir / "opt" / runsFrom / "Resources/python/bin/python3";
        for (const auto& copy : {interpreter, running}) {
            fs::create_directories(copy.parent_path());
            fs::copy_file("/bin/sh", copy, fs::copy_options::overwrite_existing);
        }
        auto started = ChildProcess::spawn(
            {.executable = running.string(),
             .arguments = {"-c", "trap '' TERM; : > \"$0\"; while :; do sleep 1; done",
                           dir / "ready"},
             .environment = currentEnvironment(),
             .output = -1});
        ASSERT_TRUE(started.child);
        ASSERT_TRUE(testing::eventually([&] { return fs::exists(dir / "ready"); }));
        writePidFile(dir / "agent.pid", *AgentIdentity::of(started.child->pid()));
        deleted ? void(fs::remove_all(dir / "opt" / runsFrom)) : void();
        endAgent({.pidFile = dir / "agent.pid", .interpreter = interpreter, .grace = 0.05});
        pollfd gone{started.child->descriptor(), POLLIN, 0};
        EXPECT_EQ(::poll(&gone, 1, 0) == 1, ended);
        started.child->signal(SIGKILL);
        started.child->wait();
    }
}

// Judged by the path each member makes inside the bundle folder, through the links before and
// after it. (Most kinds and links that climb out are judged on real archives by
// LinuxTools.UnpackRefusesHostileArchivesAndLeavesNothing, the limits by the next test but one.)
TEST(ArchiveIsSafe, KeepsOnlyFilesFoldersAndLinksInsideTheBundleFolder) {
    using Kind = ArchiveEntry::Kind;
    auto entry = [](Kind kind, std::string name, std::string target = "") {
        return ArchiveEntry{kind, std::move(name), std::move(target), 0, 0644};
    };
    auto file = [&](std::string name) { return entry(Kind::file, std::move(name)); };
    auto link = [&](std::string name, std::string target) {
        return entry(Kind::symlink, std::move(name), std::move(target));
    };
    struct Case {
        const char* what;
        std::vector<ArchiveEntry> entries;
        bool safe;
    } cases[] = {
        {"files and folders",
         {entry(Kind::folder, "./VantrelAgent/"), file("VantrelAgent/bin/VantrelAgent")},
         true},
        {"a link up inside", {link("VantrelAgent/Resources/up", "../bin")}, true},
        {"a link through a link inside",
         {link("VantrelAgent/x", "sub"), link("VantrelAgent/y", "x/../bin")},
         true},
        {"a link through a link to itself",
         {link("VantrelAgent/x", "."), link("VantrelAgent/y", "x/x/x/bin")},
         true},
        {"an absolute name", {file("/VantrelAgent/evil")}, false},
        {"a hard link",
         {file("VantrelAgent/a"), entry(Kind::hardlink, "VantrelAgent/b", "VantrelAgent/a")},
         false},
        {"another kind", {entry(Kind::other, "VantrelAgent/fifo")}, false},
        {"an empty name", {file("")}, false},
        {"outside the bundle folder", {file("Other/x")}, false},
        {"the bundle folder as a file", {file("VantrelAgent/")}, false},
        {"a name listed twice", {file("VantrelAgent/a"), file("VantrelAgent/./a")}, false},
        {"a link to a sibling folder", {link("VantrelAgent/up", "../Other/x")}, false},
        {"a link out through a later link",
         {link("VantrelAgent/y", "x/.."), link("VantrelAgent/x", "..")},
         false},
        {"links in a loop", {link("VantrelAgent/x", "y"), link("VantrelAgent/y", "x")}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(archiveIsSafe(c.entries, "VantrelAgent"), c.safe) << c.what;
    }
}

using LinuxTools = Install;

// Archives with one hostile part, written as an attacker's tool would, refused by the unpacking
// and by scripts/install alike.
TEST_F(LinuxTools, UnpackRefusesHostileArchivesAndLeavesNothing) {
    const std::string writer =
        "import io, sys, tarfile\n"
        "t = tarfile.open(sys.argv[1], 'w:gz')\n"
        "def special(name, kind, target='', data=b''):\n"
        "    i = tarfile.TarInfo(name); i.type, i.linkname, i.size = kind, target, len(data)\n"
        "    i.mode = 0o755; t.addfile(i, io.BytesIO(data))\n"
        "def file(name): special(name, tarfile.REGTYPE, data=b'{}')\n"
        "def link(name, target): special(name, tarfile.SYMTYPE, target)\n"
        "special('VantrelAgent', tarfile.DIRTYPE); file('VantrelAgent/Info.json')\n";
    const char* cases[] = {
        "file(sys.argv[2] + '/evil')",
        "file('/VantrelAgent/evil')",
        "file('VantrelAgent/../../evil')",
        "special('VantrelAgent/null', tarfile.CHRTYPE)",
        "special('VantrelAgent/fifo', tarfile.FIFOTYPE)",
        "special('VantrelAgent/hard', tarfile.LNKTYPE, '/etc/passwd')",
        "special('VantrelAgent/hard', tarfile.LNKTYPE, 'VantrelAgent/Info.json')",
        "link('VantrelAgent/out', '../../etc')",
        "link('VantrelAgent/abs', '/etc')",
        "link('VantrelAgent/a/', '../../x')",
        "link('VantrelAgent/a', '.'); link('VantrelAgent/a/b', '../x')",
        "link('VantrelAgent/l', 'Resources'); file('VantrelAgent/l/evil')",
        "link('VantrelAgent/x', '.'); link('VantrelAgent/y', 'x/x/x/../..')",
        "file('Other/evil')",
        "file('VantrelAgent/Info.json')",  // listed twice
    };
    auto archive = dir / "hostile.tar.gz";
    auto home = dir / "home";
    for (const char* member : cases) {
        SCOPED_TRACE(member);
        testing::run(VANTREL_SYSTEM_PYTHON,
                     {"-c", writer + member + "\nt.close()\n", archive, dir.path()});
        EXPECT_FALSE(linuxTools()->unpack(archive)) << "the unpacking refuses it";
        EXPECT_TRUE(nothingStaged());
        auto installed =
            runTool("/usr/bin/env", {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(),
                                     VANTREL_SOURCE_DIR "/scripts/install", archive});
        EXPECT_EQ(installed.status, 1);
        EXPECT_NE(installed.output.find("unsafe member"), std::string::npos) << installed.output;
        EXPECT_FALSE(fs::exists(home / ".local"));
        EXPECT_FALSE(fs::exists(dir / "evil"));
    }
    writeFile(dir / "garbage.tar.gz", "not a tar at all");
    EXPECT_FALSE(linuxTools()->unpack(dir / "garbage.tar.gz")) << "garbage";
    const std::string packed = readFile(pack());
    for (const auto& [what, bytes] : {std::pair{"a truncated stream", packed.substr(0, 200)},
                                      {"bytes after the stream", packed + "x"},
                                      {"a second stream", packed + packed}}) {
        writeFile(dir / "spoilt.tar.gz", bytes);
        EXPECT_FALSE(linuxTools()->unpack(dir / "spoilt.tar.gz")) << what;
    }
    EXPECT_FALSE(linuxTools()->unpack(dir / "missing.tar.gz")) << "a missing file";
    EXPECT_TRUE(nothingStaged());
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
    ASSERT_LT(fs::file_size(dir / "bomb.tar.gz"), 64u << 10);
    EXPECT_FALSE(linuxTools({.bytes = 1 << 20})->unpack(dir / "bomb.tar.gz")) << "past the bytes";
    EXPECT_FALSE(linuxTools({.entries = 1})->unpack(dir / "bomb.tar.gz")) << "past the entries";
    EXPECT_TRUE(nothingStaged());
    auto roomy = linuxTools({.bytes = 4 << 20, .entries = 3});
    mode_t previous = ::umask(077);
    auto staged = roomy->unpack(dir / "bomb.tar.gz");
    ::umask(previous);
    ASSERT_TRUE(staged) << "at both limits";
    EXPECT_EQ(*staged, StagedUpdate{live}.staged());
    EXPECT_EQ(fs::status(*staged).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(*staged / "empty").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(*staged / "zeros").permissions(), fs::perms(0555));
    EXPECT_EQ(fs::file_size(*staged / "zeros"), 4u << 20);
    roomy->discard(*staged);
    EXPECT_TRUE(nothingStaged());
}

TEST(ChecksumMatches, ComparesTheFilesDigestExactly) {
    TempDir dir;
    writeFile(dir / "update.dmg", "abc");
    const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(checksumMatches(dir / "update.dmg", digest));
    for (const auto& wrong :
         {std::string("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"),
          digest + "\n", std::string()}) {
        EXPECT_FALSE(checksumMatches(dir / "update.dmg", wrong)) << wrong;
    }
    EXPECT_FALSE(checksumMatches(dir / "missing.dmg", digest));
}

// One stand-in for hdiutil, spctl and codesign: it logs each call and answers as the real tool,
// from the files beside it and the bundle's own.
constexpr const char* kMacStandIn = R"sh(#!/bin/sh
here=$(dirname "$0"); tool=$(basename "$0"); eval "last=\${$#}"
{ printf %s "$tool"; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
case "$tool $1" in
"hdiutil attach") [ -f "$last" ] && cat "$here/attach-output" && exit "$(cat "$here/status")" ;;
spctl*) [ -f "$last/notarized" ] ;;
codesign*) [ -e "$last" ] && echo "TeamIdentifier=$(cat "$last/team")" >&2 ;;
esac
)sh";

// The macOS tools standing in: attach (the folder named under /private/tmp, the real place of
// /tmp), the assessment and the exact Team Identifier each refuse as they should. The swap script
// reads its quoted paths back exactly.
TEST(MacTools, EachAnswerOfTheToolsEndsTheRunAsItShould) {
    TempDir dir;
    for (const char* tool : {"hdiutil", "spctl", "codesign"}) {
        writeFile(dir / "bin" / tool, kMacStandIn, true);
    }
    std::string mountPoint = "/tmp/dmg.XXXXXX";
    ASSERT_TRUE(::mkdtemp(mountPoint.data()));
    const fs::path mnt = mountPoint;
    auto app = mnt / "Vantrel Agent.app";
    writeFile(app / "Info.json", info("2.0"));
    writeFile(dir / "image.dmg", "image");
    auto calls = [&] { return fs::exists(dir / "bin/calls") ? readFile(dir / "bin/calls") : ""; };
    const std::string attached =
        "/dev/disk4\tGUID\t\n/dev/disk4s1\tApple_HFS\t/private" + mnt.string();
    struct Case {
        std::string attachOutput, team = "QK4TR8MZ2V";
        bool notarized = true;
        int status = 0;
        bool accepted = false;
    } cases[] = {
        {attached, "QK4TR8MZ2V", true, 0, true},
        {attached, "QK4TR8MZ2V", true, 1},                // attach fails
        {"/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n"},  // no folder under /tmp/
        {mnt.string() + "\r\n"},                          // CR is no blank: no such folder
        {attached, "QK4TR8MZ2"},
        {attached, "QK4TR8MZ2V", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attachOutput + " " + c.team);
        fs::remove(dir / "bin/calls");
        writeFile(dir / "bin/status", std::to_string(c.status));
        writeFile(dir / "bin/attach-output", c.attachOutput);
        writeFile(app / "team", c.team);
        c.notarized ? writeFile(app / "notarized", "") : void(fs::remove(app / "notarized"));
        MacReleaseTools tools({.hdiutil = (dir / "bin/hdiutil").string(),
                               .spctl = (dir / "bin/spctl").string(),
                               .codesign = (dir / "bin/codesign").string()});
        auto mounted = tools.attach(dir / "image.dmg");
        const bool verified = mounted && tools.verify(*mounted / "Vantrel Agent.app");
        EXPECT_EQ(verified, c.accepted);
        if (mounted) {
            tools.detach(*mounted);
        }
        EXPECT_EQ(calls().find("hdiutil [detach]") != std::string::npos, mounted.has_value());
        if (verified) {
            EXPECT_EQ(calls(), "hdiutil [attach] [-nobrowse] [-readonly] [-mountrandom] [/tmp] [" +
                                   (dir / "image.dmg").string() +
                                   "]\nspctl [-a] [-t] [exec] [--context] "
                                   "[context:primary-signature] [" +
                                   app.string() + "]\ncodesign [-dv] [--verbose=4] [" +
                                   app.string() + "]\nhdiutil [detach] [" + mnt.string() +
                                   "] [-quiet]\n");
        }
    }
    const SwapPaths paths{.live = "/Users/o'brien/$HOME \"x\" `y` \\ (Agent)+.app",
                          .staged = "/Users/o'brien/.VantrelAgent-incoming.app",
                          .previous = "/Users/o'brien/.VantrelAgent-previous.app",
                          .newApp = "/tmp/dmg.x/Vantrel Agent.app"};
    auto text = macSwapScript(paths);
    auto header = text.substr(0, text.find("\n\n"));
    EXPECT_EQ(
        runTool("/bin/sh", {"-c", header + "\nprintf '%s|%s' \"$live\" \"$previous\""}).output,
        paths.live.string() + "|" + paths.previous.string());
    EXPECT_EQ(runTool("/bin/sh", {"-n", "-c", text}).status, 0);
    fs::remove_all(mnt);
}

// Each row: what it shows, the script, then the status and output expected. A grandchild that
// writes only once the shell has ended (its fifo's one writer closed) is still read.
TEST(Shell, GivesTheToolsStatusAndOutput) {
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    UniqueFd open(::fcntl(null.get(), F_DUPFD, 40));  // not close-on-exec, on purpose
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
    };
    for (const auto& [step, script, status, output] : rows) {
        auto result = runTool("/bin/sh", {"-c", script});
        EXPECT_EQ(result.status, status) << step;
        EXPECT_EQ(result.output, output) << step;
    }
    EXPECT_EQ(runTool("/nonexistent/tool", {"x"}).status, -1) << "expected -1 for a missing tool";
}

// What the user's shell sets never reaches a tool: it gets a fixed path and the C locale.
TEST(RunTool, GivesToolsAnEnvironmentOfItsOwn) {
    ::setenv("TAR_OPTIONS", "--totals", 1);
    ::setenv("LD_PRELOAD", "/nonexistent.so", 1);
    auto result =
        runTool("/bin/sh", {"-c", "echo ${TAR_OPTIONS-none} ${LD_PRELOAD-none} $LC_ALL $PATH"});
    ::unsetenv("TAR_OPTIONS");
    ::unsetenv("LD_PRELOAD");
    EXPECT_EQ(result.output, "none none C /usr/local/bin:/usr/bin:/bin\n")
        << "the tool's environment";
}

}  // namespace
}  // namespace vantrel
