#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "bundle_app.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The bundle's executable run headless, its agent paired so that readings come.
class HeadlessAppTest : public BundleAppTest {
  protected:
    HeadlessAppTest() { setVariable(env, "VANTREL_SIM_PAIRED", "1"); }
};

// However the application ends, even killed, its agent is told to stop.
TEST_F(HeadlessAppTest, PrintsEachStateAndEveryWayOfEndingStopsTheAgent) {
    const struct {
        int signal;
        int status;
    } cases[] = {{SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        std::filesystem::remove(pidFile());
        auto app = launch({"--headless"});
        ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
        EXPECT_EQ(app->output().rfind("Starting\u2026\n", 0), 0u) << app->output();
        // The desktop shell is a module of its own: a headless run maps no toolkit library.
        EXPECT_THAT(readFile("/proc/" + std::to_string(app->pid()) + "/maps"),
                    Not(HasSubstr("libQt")));
        pid_t agent = agentPid().value_or(0);
        ASSERT_NE(agent, 0);
        app->signal(c.signal);
        EXPECT_EQ(app->waitForExit(kGuard), c.status) << app->output();
        EXPECT_TRUE(processEnds(agent));
    }
    EXPECT_THAT(readFile(home / "state/Logs/Vantrel/agent.log"), HasSubstr("pv="));
}

// A start that cannot go on says why, in its own words, and touches nothing.
TEST_F(HeadlessAppTest, AStartThatCannotGoOnSaysWhy) {
    writeFile(home / "file", "x");
    const struct {
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
    const auto sandbox = env;
    for (const auto& c : cases) {
        env = sandbox;
        setVariable(env, c.variable, c.value.string());
        auto app = launch({"--headless"});
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
    auto started = ChildProcess::spawn({std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent",
                                        {"--headless"},
                                        env,
                                        writeEnd.get()});
    ASSERT_TRUE(started.child);
    pid_t agent = waitForAgent();
    ASSERT_NE(agent, 0);
    started.child->signal(SIGTERM);
    ASSERT_TRUE(processEnds(started.child->pid()));
    EXPECT_EQ(started.child->wait(), 0);
    EXPECT_TRUE(processEnds(agent));
}

}  // namespace
}  // namespace vantrel::testing
