#include "agent/orphan_reaper.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "support/running_app.h"

namespace vantrel {
namespace {

// A copy of the system's Python serves as the agent's interpreter, so an orphaned agent is a
// process whose executable is that copy. Each program says "ready" once it is set up as written.
class OrphanReaperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, interpreter);
        std::filesystem::permissions(interpreter, std::filesystem::perms::owner_all);
    }

    void reap(const testing::RunningApp& orphan) {
        ASSERT_TRUE(orphan.waitForOutput("ready"));
        testing::writeFile(dir / "agent.pid", " " + std::to_string(orphan.pid()) + "\n");
        reapOrphan(dir / "agent.pid", dir / "." / "python3");
    }

    testing::TempDir dir;
    std::filesystem::path interpreter = dir / "python3";
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
        testing::RunningApp orphan(interpreter,
                                   {"-c", std::string("import signal, time\n") + c.setup +
                                              "\nprint('ready', flush=True)\ntime.sleep(600)\n"},
                                   currentEnvironment());
        reap(orphan);
        EXPECT_EQ(orphan.waitForExit(), c.endedBy) << c.setup;
    }
}

TEST_F(OrphanReaperTest, AProcessOfAnotherProgramIsLeftAlone) {
    testing::RunningApp other("/bin/sh", {"-c", "echo ready; exec sleep 600"}, {});
    reap(other);
    EXPECT_EQ(other.waitForExit(0), std::nullopt) << "it still runs";
}

}  // namespace
}  // namespace vantrel
