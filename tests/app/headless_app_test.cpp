#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;

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
            std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent",
            std::vector<std::string>{"--headless"}, std::move(env));
    }

    std::optional<pid_t> agentPid() { return readPidFile(home / "share/Vantrel/agent.pid"); }

    testing::TempDir home;
};

TEST_F(HeadlessAppTest, PrintsEachStateAndStopsTheAgentOnSigterm) {
    auto app = launch(environment());
    ASSERT_TRUE(app->waitForOutput("Solar ")) << app->output();
    EXPECT_EQ(app->output().rfind("Starting\u2026\n", 0), 0u) << app->output();
    // The desktop shell is a module of its own: a headless run maps no toolkit library.
    EXPECT_THAT(testing::readFile("/proc/" + std::to_string(app->pid()) + "/maps"),
                ::testing::Not(HasSubstr("libQt")));
    auto pid = agentPid();
    ASSERT_TRUE(pid);
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*pid, 0) != 0; }));
    EXPECT_THAT(testing::readFile(home / "state/Logs/Vantrel/agent.log"), HasSubstr("pv="));
}

TEST_F(HeadlessAppTest, OnlyOneInstanceRunsAndAKilledOneDoesNotBlockTheNext) {
    auto env = environment();
    auto first = launch(env);
    ASSERT_TRUE(first->waitForOutput("Solar ")) << first->output();
    auto second = launch(env);
    EXPECT_EQ(second->waitForExit(), 1);
    EXPECT_THAT(second->output(), HasSubstr("already running"));

    auto orphan = agentPid();
    ASSERT_TRUE(orphan);
    first->signal(SIGKILL);
    ASSERT_EQ(first->waitForExit(), SIGKILL);
    ASSERT_EQ(::kill(*orphan, 0), 0);  // the agent outlived its application

    auto third = launch(env);
    ASSERT_TRUE(third->waitForOutput("Solar ")) << third->output();
    EXPECT_NE(agentPid(), orphan);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*orphan, 0) != 0; }));
    third->signal(SIGINT);
    EXPECT_EQ(third->waitForExit(), 0);
}

TEST_F(HeadlessAppTest, AFolderThatCannotBeCreatedEndsTheStartWithTheReason) {
    auto env = environment();
    testing::writeFile(home / "file", "x");
    setVariable(env, "XDG_DATA_HOME", (home / "file").string());
    auto app = launch(env);
    EXPECT_EQ(app->waitForExit(), 1);
    EXPECT_THAT(app->output(), HasSubstr("Vantrel Agent cannot start\nIt could not create its "
                                         "folder in " +
                                         (home / "file").string() + ": "));
    EXPECT_FALSE(std::filesystem::exists(home / "state"));
}

}  // namespace
}  // namespace vantrel
