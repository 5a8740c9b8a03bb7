#include "update/bundle_swap.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string info(const std::string& version) {
    return "{\"CFBundleShortVersionString\": \"" + version + "\"}";
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
        EXPECT_FALSE(fs::exists(update.staged()));
        EXPECT_FALSE(fs::exists(update.marker()));
    }
}

TEST(IsInstallInterpreter, KnowsEarlierCopiesOfThisInstallOnly) {
    TempDir dir;
    auto interpreter = dir / "opt/VantrelAgent/Resources/python/bin/python3";
    writeFile(interpreter, "");
    auto parked = (dir / "opt/.VantrelAgent-incoming/Resources/python/bin/python3").string();
    struct Case {
        std::string executable;
        bool ours;
    } cases[] = {
        {interpreter.string(), true},
        {interpreter.string() + " (deleted)", true},
        {parked, true},
        {parked + " (deleted)", true},
        {(dir / "opt/VantrelAgent-incoming/Resources/python/bin/python3").string(), false},
        {(dir / "other/.VantrelAgent-incoming/Resources/python/bin/python3").string(), false},
        {(dir / "opt/.VantrelAgent-incoming/Resources/python/bin/python3.11").string(), false},
        {(dir / "opt/.VantrelAgent-incoming/python/bin/python3").string(), false},
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
        fs::create_directories(interpreter.parent_path());
        fs::create_directories(running.parent_path());
        fs::copy_file("/bin/sh", interpreter, fs::copy_options::overwrite_existing);
        fs::copy_file("/bin/sh", running, fs::copy_options::overwrite_existing);
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
