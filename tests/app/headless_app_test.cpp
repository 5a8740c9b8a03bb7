#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Bounds on waiting for real processes: only a hang ends there; nothing is timed against them.
constexpr double kGuard = 120;

// The real bundle's executable, run headless in a sandboxed home; its agent (the reference agent)
// listens on a port of its own so that tests can run side by side.
class HeadlessAppTest : public ::testing::Test {
  protected:
    std::vector<std::string> environment() {
        auto env = testing::sandboxedEnvironment(home.path());
        setVariable(env, "VANTREL_SIM_INTERVAL", "0.2");
        setVariable(env, "VANTREL_SIM_PAIRED", "1");
        return env;
    }

    std::unique_ptr<testing::RunningApp> launch(std::vector<std::string> env) {
        return std::make_unique<testing::RunningApp>(
            executable, std::vector<std::string>{"--headless"}, std::move(env));
    }

    std::optional<pid_t> agentPid() { return readPidFile(home / "share/Vantrel/agent.pid"); }

    // The agent's pid once it has been launched, which happens after the signals are in hand.
    pid_t waitForAgent() {
        testing::eventually([&] { return agentPid().has_value(); }, kGuard);
        return agentPid().value_or(0);
    }

    testing::AdoptOrphans adopt;  // the agents of ended applications come here, to be awaited
    std::string executable = std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent";
    testing::TempDir home;
};

// However the application ends, even killed, its agent is told to stop.
TEST_F(HeadlessAppTest, PrintsEachStateAndEveryWayOfEndingStopsTheAgent) {
    struct Case {
        int signal;
        int status;
    } cases[] = {{SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        std::filesystem::remove(home / "share/Vantrel/agent.pid");
        auto app = launch(environment());
        ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
        EXPECT_EQ(app->output().rfind("Starting\u2026\n", 0), 0u) << app->output();
        // The desktop shell is a module of its own: a headless run maps no toolkit library.
        EXPECT_THAT(testing::readFile("/proc/" + std::to_string(app->pid()) + "/maps"),
                    ::testing::Not(HasSubstr("libQt")));
        pid_t agent = agentPid().value_or(0);
        ASSERT_NE(agent, 0);
        app->signal(c.signal);
        EXPECT_EQ(app->waitForExit(kGuard), c.status) << app->output();
        EXPECT_TRUE(testing::processEnds(agent));
    }
    EXPECT_THAT(testing::readFile(home / "state/Logs/Vantrel/agent.log"), HasSubstr("pv="));
}

// A start that cannot go on says why, in its own words, and touches nothing.
TEST_F(HeadlessAppTest, AStartThatCannotGoOnSaysWhy) {
    testing::writeFile(home / "file", "x");
    struct Case {
        const char* variable;
        std::filesystem::path value;
        std::string says;
    } cases[] = {
        {"XDG_RUNTIME_DIR", home / "missing",
         "Vantrel Agent cannot use the runtime folder " + (home / "missing").string() + ": "},
        {"XDG_DATA_HOME", home / "file",
         "Vantrel Agent cannot start\nIt could not create its folder in " +
             (home / "file").string() + ": "},
    };
    for (const auto& c : cases) {
        auto env = environment();
        setVariable(env, c.variable, c.value.string());
        auto app = launch(env);
        EXPECT_EQ(app->waitForExit(kGuard), 1);
        EXPECT_THAT(app->output(), HasSubstr(c.says));
        EXPECT_THAT(app->output(), Not(HasSubstr("already running")));
        EXPECT_FALSE(std::filesystem::exists(home / "state"));
    }
}

// A standard output that nobody reads fills up; the application still quits on a signal.
TEST_F(HeadlessAppTest, AStandardOutputNobodyReadsDoesNotHoldTheQuit) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    ::fcntl(writeEnd.get(), F_SETPIPE_SZ, 4096);
    std::string filler(4096, 'x');
    while (::write(writeEnd.get(), filler.data(), filler.size()) > 0) {
    }
    ::fcntl(writeEnd.get(), F_SETFL, 0);
    auto started = ChildProcess::spawn({executable, {"--headless"}, environment(), writeEnd.get()});
    ASSERT_TRUE(started.child);
    pid_t agent = waitForAgent();
    ASSERT_NE(agent, 0);
    started.child->signal(SIGTERM);
    ASSERT_TRUE(testing::processEnds(started.child->pid()));
    EXPECT_EQ(started.child->wait(), 0);
    EXPECT_TRUE(testing::processEnds(agent));
}

}  // namespace
}  // namespace vantrel
