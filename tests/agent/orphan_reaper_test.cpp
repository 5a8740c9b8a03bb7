#include "agent/orphan_reaper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

// A copy of the system's Python serves as the agent's interpreter, so an orphaned agent is a
// process whose executable is that copy.
class OrphanReaperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, interpreter);
        std::filesystem::permissions(interpreter, std::filesystem::perms::owner_all);
    }

    // Starts a program and returns once it has said "ready", so that it is set up as written.
    ChildProcess launch(const std::filesystem::path& executable, std::vector<std::string> args) {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        auto started = ChildProcess::spawn(
            {executable.string(), std::move(args), currentEnvironment(), writeEnd.get()});
        writeEnd.reset();
        std::string said;
        char buffer[64];
        ssize_t got;
        while (said.find("ready") == std::string::npos &&
               ((got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0 ||
                (got < 0 && errno == EINTR))) {
            said.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        // Kept open: a program that writes again must not meet a closed pipe.
        outputs.push_back(std::move(readEnd));
        return std::move(*started.child);
    }

    ChildProcess agent(const char* setup) {
        return launch(interpreter, {"-c", std::string("import signal, time\n") + setup +
                                              "\nprint('ready', flush=True)\ntime.sleep(600)\n"});
    }

    void reap(const ChildProcess& orphan) {
        testing::writeFile(pidFile, " " + std::to_string(orphan.pid()) + "\n");
        reapOrphan(pidFile, dir / "." / "python3");
    }

    testing::TempDir dir;
    std::filesystem::path interpreter = dir / "python3";
    std::filesystem::path pidFile = dir / "agent.pid";
    std::vector<UniqueFd> outputs;
};

// SIGTERM first; SIGKILL only for one that stays.
TEST_F(OrphanReaperTest, AnAgentLeftRunningIsAskedToEndThenKilled) {
    struct Case {
        const char* setup;
        int endedBy;
    } cases[] = {
        {"", SIGTERM},
        {"signal.signal(signal.SIGTERM, signal.SIG_IGN)", SIGKILL},
    };
    for (const auto& c : cases) {
        auto orphan = agent(c.setup);
        reap(orphan);
        EXPECT_EQ(orphan.wait(), c.endedBy) << c.setup;
    }
}

TEST_F(OrphanReaperTest, AProcessOfAnotherProgramIsLeftAlone) {
    auto other = launch("/bin/sh", {"-c", "echo ready; exec sleep 600"});
    reap(other);
    siginfo_t info = {};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(other.pid()), &info, WEXITED | WNOHANG | WNOWAIT),
              0);
    EXPECT_EQ(info.si_pid, 0) << "it still runs";
    other.signal(SIGKILL);
    other.wait();
}

}  // namespace
}  // namespace vantrel
