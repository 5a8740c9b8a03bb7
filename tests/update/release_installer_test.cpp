#include "update/release_installer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/manual_queue.h"
#include "update/bundle_swap.h"
#include "update/release_tools_file_list.h"
#include "update/release_tools_linux.h"
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

bool isEmptyFolder(const fs::path& folder) {
    return fs::is_directory(folder) && fs::is_empty(folder);
}

// The installer of this system, its download a copy of the packed release, its live bundle 1.0
// in a folder whose name has a quote, "(" and "+".
class Install : public ::testing::Test {
  protected:
    Install() {
        writeFile(live / "Info.json", info("1.0"));
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "extract");
    }

    UpdateResult install(const std::string& version, std::string digest, const std::string& url) {
        auto archive = dir / "garbage.tar.gz";
        fs::exists(release.bundle()) ? void(archive = release.pack())
                                     : writeFile(archive, "no tar");
        auto tools =
            std::make_shared<LinuxReleaseTools>(release.signers, "QK4TR8MZ2V", dir / "extract");
        ReleaseInstaller installer({
            .mainQueue = queue,
            .requestQuit = [this] { ++quits; },
            .tools = tools,
            .live = live,
            .temporary = temporary,
            .download =
                [&](const std::string& from, const fs::path& to) {
                    std::error_code error;
                    return from == "http://127.0.0.1/ok" && fs::copy_file(archive, to, error);
                },
            .stage =
                [&](const fs::path& newApp, const std::string& newVersion) {
                    return stageUpdate({live}, newApp, newVersion,
                                       [&](const fs::path& copy) { return tools->verify(copy); });
                },
            .shell = "/bin/sh",
        });
        auto result =
            installer.install({version, url, digest.empty() ? *sha256OfFile(archive) : digest});
        queue->runDue();
        return result;
    }

    bool leftNothing() const {
        return isEmptyFolder(dir / "tmp") && isEmptyFolder(dir / "extract");
    }

    testing::SignedRelease release;
    TempDir dir;
    fs::path live = dir / "Vantrel's (apps)+/VantrelAgent";
    fs::path temporary = dir / "tmp";
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>();
    int quits = 0;
};

// Staged beside live, and swapped in as the application ends.
TEST_F(Install, StagesTheVerifiedReleaseAndSwapsItInAtTheEnd) {
    EXPECT_EQ(install("2.0", "", "http://127.0.0.1/ok"), UpdateResult::installed("2.0"));
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(leftNothing());
    StagedUpdate update{live};
    EXPECT_EQ(readFile(update.marker()), "2.0");
    EXPECT_EQ(readFile(live / "Info.json"), info("1.0"));
    EXPECT_EQ(
        completeStagedUpdate(update, {.pidFile = dir / "no.pid", .interpreter = {}, .grace = 0}),
        SwapOutcome::swapped);
    EXPECT_NE(readFile(live / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_TRUE(fs::exists(live / kFileListName));
    EXPECT_FALSE(fs::exists(update.staged()) || fs::exists(update.marker()));
}

// Each failure leaves nothing of the run and nothing live changed. The release verifies only as
// signed, by the signer, principal and namespace that the running bundle allows.
TEST_F(Install, EachFailureCleansUpAndGivesItsReason) {
    auto bundle = release.bundle();
    auto agent = bundle / "Resources/lib/vantrel_agent/__init__.py";
    auto list = bundle / kFileListName;
    auto signers = [&](const std::string& line) {
        return [&, line] {
            writeFile(release.signers, line + readFile(release.key.string() + ".pub"));
        };
    };
    std::string upper = *sha256OfFile(release.pack());
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(c));
    }
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* reason = reasons::kNotSigned;
        std::string version = "2.0";
        std::string digest = "";
        std::string url = "http://127.0.0.1/ok";
    } cases[] = {
        {"no download", {}, reasons::kDownloadFailed, "2.0", "", "http://127.0.0.1/missing"},
        {"upper-case digest", {}, reasons::kChecksumMismatch, "2.0", upper},
        {"no archive", [&] { fs::remove_all(release.bundle()); }, reasons::kWouldNotMount},
        // A genuine 2.0 under a manifest that says 3.0, and one no newer than what runs.
        {"version mismatch", {}, reasons::kNotSigned, "3.0"},
        {"not newer", [&] { writeFile(live / "Info.json", info("2.0")); }},
        {"a changed file",
         [&] {
             fs::permissions(agent, fs::perms::owner_write, fs::perm_options::add);
             writeFile(agent, "# agent, changed\n");
         }},
        {"a changed mode",
         [&] { fs::permissions(bundle / "Info.json", static_cast<fs::perms>(0555)); }},
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
        {"another signer", [&] { release.sign(testing::makeSigningKey(dir.path(), "other-key")); }},
        {"another principal", signers("ZZ9ZZ9ZZ9Z namespaces=\"vantrel-release\" ")},
        {"another namespace", signers("QK4TR8MZ2V namespaces=\"file\" ")},
        // $TMPDIR naming a missing folder fails the update, not the application.
        {"no temporary folder",
         [&] {
             temporary.clear();
             ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
         },
         reasons::kCouldNotPrepare},
        {"staging fails",
         [&] { fs::create_directories(StagedUpdate{live}.marker().string() + ".partial/x"); },
         reasons::kCouldNotPrepare},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.arrange) {
            c.arrange();
        }
        auto before = readFile(live / "Info.json");
        EXPECT_EQ(install(c.version, c.digest, c.url), UpdateResult::failed(c.reason));
        EXPECT_EQ(quits, 0);
        EXPECT_TRUE(leftNothing());
        EXPECT_EQ(readFile(live / "Info.json"), before);
        EXPECT_FALSE(fs::exists(StagedUpdate{live}.staged()) ||
                     fs::exists(StagedUpdate{live}.marker()));
        writeFile(live / "Info.json", info("1.0"));
        temporary = dir / "tmp";
        ::unsetenv("TMPDIR");
        fs::remove_all(StagedUpdate{live}.marker().string() + ".partial");
        release.make();
        testing::makeSigners(release.key, release.signers);
    }
}

// Only a 200 answer within the time and size limits is kept, whole or not at all: refused by its
// announced length, and while it streams without one.
TEST(DownloadRelease, KeepsOnlyAnAnswerOfStatus200WithinTheLimit) {
    using Server = testing::LoopbackServer;
    Server server;
    server.serve("/ok", Server::answer("release bytes"));
    server.serve("/gone", Server::answer("no", 404));
    server.serve("/moved", Server::redirect("/gone"));
    server.serve("/moved-ok", Server::redirect("/ok"));
    server.serve("/slow", Server::answer("late", 200, 3));
    server.serve("/endless", Server::endlessAnswer());
    TempDir dir;
    struct Case {
        std::string url;
        bool kept;
        double seconds = 600;
        std::uint64_t ceiling = 1 << 20;
        std::string to = "file";
    } cases[] = {
        {server.base() + "/ok", true},
        {server.base() + "/moved-ok", true},
        {server.base() + "/gone", false},
        {server.base() + "/moved", false},
        {server.base() + "/slow", false, 1},
        {"file:///etc/hostname", false},
        {server.base() + "/ok", false, 600, 1 << 20, "missing folder/file"},
        {server.base() + "/ok", false, 600, 12},
        {server.base() + "/ok", true, 600, 13},
        {server.base() + "/endless", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        fs::remove(dir / "file");
        EXPECT_EQ(downloadRelease(c.url, dir / c.to, c.seconds, c.ceiling), c.kept);
        EXPECT_EQ(fs::exists(dir / "file") ? readFile(dir / "file") : "",
                  c.kept ? "release bytes" : "");
    }
}

// What a power loss can leave at each step of a swap, and what the next start makes of it.
TEST(CompleteStagedUpdate, FinishesOrUndoesWhatAnInterruptedSwapLeft) {
    struct Case {
        const char* step;
        const char* staged;  // the staged copy's version; nullptr: none, "": a partial copy
        const char* marker;  // nullptr: none
        const char* live;
        SwapOutcome outcome;
        const char* liveAfter;
    } cases[] = {
        {"nothing staged", nullptr, nullptr, "1.0", SwapOutcome::nothing, "1.0"},
        {"copy under way", "", nullptr, "1.0", SwapOutcome::nothing, "1.0"},
        {"copy done, no marker yet", "2.0", nullptr, "1.0", SwapOutcome::nothing, "1.0"},
        {"marked, not exchanged", "2.0", "2.0", "1.0", SwapOutcome::swapped, "2.0"},
        {"exchanged, marker left", "1.0", "2.0", "2.0", SwapOutcome::nothing, "2.0"},
        {"marker of a lost copy", nullptr, "2.0", "1.0", SwapOutcome::nothing, "1.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        TempDir dir;
        StagedUpdate update{dir / "opt (1)+'/VantrelAgent"};
        writeFile(update.live / "Info.json", info(c.live));
        if (c.staged) {
            writeFile(update.staged() / "bin/VantrelAgent", "x");
            if (*c.staged) {
                writeFile(update.staged() / "Info.json", info(c.staged));
            }
        }
        if (c.marker) {
            writeFile(update.marker(), c.marker);
        }
        EXPECT_EQ(completeStagedUpdate(
                      update, {.pidFile = dir / "none.pid", .interpreter = {}, .grace = 0}),
                  c.outcome);
        EXPECT_EQ(readFile(update.live / "Info.json"), info(c.liveAfter));
        EXPECT_FALSE(fs::exists(update.staged()) || fs::exists(update.marker()));
    }
}

TEST(IsInstallInterpreter, KnowsEarlierCopiesOfThisInstallOnly) {
    TempDir dir;
    std::string opt = (dir / "opt").string();
    std::string interpreter = opt + "/VantrelAgent/Resources/python/bin/python3";
    std::string parked = opt + "/.VantrelAgent-incoming/Resources/python/bin/python3";
    writeFile(interpreter, "");
    struct Case {
        std::string executable;
        bool ours;
    } cases[] = {
        {interpreter, true},
        {interpreter + " (deleted)", true},
        {parked, true},
        {parked + " (deleted)", true},
        {opt + "/VantrelAgent-incoming/Resources/python/bin/python3", false},
        {(dir / "other/.VantrelAgent-incoming/Resources/python/bin/python3").string(), false},
        {parked + ".11", false},
        {opt + "/.VantrelAgent-incoming/python/bin/python3", false},
        {"/usr/bin/python3", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isInstallInterpreter(c.executable, interpreter), c.ours) << c.executable;
    }
}

// An agent that ignores SIGTERM, running the interpreter of the live copy or of the copy a swap
// parked beside it (also once that is deleted), is gone when endAgent returns; any other process
// named in the pid file is left alone.
TEST(EndAgent, EndsTheOldCopysAgentEvenWhenItIgnoresSigterm) {
    struct Case {
        const char* runsFrom;
        bool deleted;
        bool ended;
    } cases[] = {
        {"VantrelAgent", false, true},
        {".VantrelAgent-incoming", false, true},
        {".VantrelAgent-incoming", true, true},
        {"Elsewhere", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runsFrom);
        TempDir dir;
        auto interpreter = dir / "opt/VantrelAgent/Resources/python/bin/python3";
        auto running = dir / "opt" / c.runsFrom / "Resources/python/bin/python3";
        for (const auto& copy : {interpreter, running}) {
            fs::create_directories(copy.parent_path());
            fs::copy_file("/bin/sh", copy, fs::copy_options::overwrite_existing);
        }
        auto started = ChildProcess::spawn(
            {.executable = running.string(),
             .arguments = {"-c", "trap '' TERM; : > \"$0\"; while :; do sleep 1; done",
                           (dir / "ready").string()},
             .environment = currentEnvironment(),
             .output = -1});
        ASSERT_TRUE(started.child);
        ASSERT_TRUE(testing::eventually([&] { return fs::exists(dir / "ready"); }));
        writePidFile(dir / "agent.pid", started.child->pid());
        if (c.deleted) {
            fs::remove_all(dir / "opt" / c.runsFrom);
        }
        endAgent({.pidFile = dir / "agent.pid", .interpreter = interpreter, .grace = 0.05});
        pollfd ended{started.child->descriptor(), POLLIN, 0};
        EXPECT_EQ(::poll(&ended, 1, 0) == 1, c.ended);
        if (!c.ended) {
            started.child->signal(SIGKILL);
            started.child->wait();
        }
    }
}

}  // namespace
}  // namespace vantrel
