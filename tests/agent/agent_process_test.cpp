#include "agent/agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "support/manual_queue.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class AgentProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (agent) {
            agent->stop();
        }
        for (pid_t pid : toKill) {
            ::kill(pid, SIGKILL);
        }
    }

    AgentConfig config(std::filesystem::path interpreter) {
        return {.python = std::move(interpreter),
                .pythonHome = dir / "python",
                .pythonPath = dir / "lib",
                .state = dir / "agent.json",
                .spool = dir / "spool.db",
                .pidFile = dir / "agent.pid",
                .log = dir / "agent.log",
                .apiBase = std::nullopt};
    }

    // The agent is a shell script run in the test's folder.
    std::filesystem::path script(const std::string& body) {
        auto path = dir / "agent.sh";
        testing::writeFile(path, "#!/bin/sh\ncd \"" + dir.path().string() + "\"\n" + body, true);
        return path;
    }
    void run(const std::string& body) { start(config(script(body))); }

    void start(AgentConfig agentConfig) {
        agent = AgentProcess::create(std::move(agentConfig), mainQueue, background);
        agent->setOnState([this](const AgentState& state) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            delivered.push_back(state);
        });
        agent->start();
    }

    // Runs the main queue while waiting for real children.
    bool pumpUntil(const std::function<bool()>& condition, double seconds = 10) {
        return testing::eventually(
            [&] {
                mainQueue->runDue();
                return condition();
            },
            seconds);
    }

    bool deliveredContains(const AgentState& state) {
        return std::find(delivered.begin(), delivered.end(), state) != delivered.end();
    }

    // The delay of the next relaunch check, once the exit handler has scheduled it.
    std::optional<double> nextRelaunch() {
        if (!background->waitForTasks(1)) {
            return std::nullopt;
        }
        return background->nextDelay();
    }

    pid_t waitForPid() {
        pid_t pid = 0;
        pumpUntil([&] { return (pid = agent->pidForTesting().value_or(0)) != 0; });
        return pid;
    }

    testing::TempDir dir;
    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<testing::ManualQueue> background = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<AgentProcess> agent;
    std::vector<AgentState> delivered;
    std::vector<pid_t> toKill;
    std::thread::id testThread = std::this_thread::get_id();
};

}  // namespace

void PrintTo(const AgentState& state, std::ostream* out) {
    *out << '"' << state.menuText() << '"';
}

namespace {

// The contract's arguments and environment, and no descriptor but the three standard ones.
TEST_F(AgentProcessTest, LaunchesWithTheArgumentsAndEnvironmentOfTheContract) {
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    ASSERT_GE(leaky, 3);
    for (bool testBuild : {false, true}) {
        auto agentConfig = config(script(
            "ls /proc/self/fd > fds\nprintf '%s\\n' \"$@\" > args\nenv > env\nexec sleep 30\n"));
        if (testBuild) {
            agentConfig.apiBase = "http://127.0.0.1:9/api";
        }
        start(agentConfig);
        ASSERT_TRUE(pumpUntil([&] {
            return testing::readFile(dir / "env").find("AGENT_SPOOL") != std::string::npos;
        }));
        EXPECT_EQ(testing::readFile(dir / "args"), "-m\nvantrel_agent\nrun\n");
        EXPECT_EQ(testing::readFile(dir / "fds"), "0\n1\n2\n3\n");  // 3: ls's own folder
        auto env = testing::readFile(dir / "env");
        for (std::string entry :
             {"PYTHONHOME=" + (dir / "python").string(), "PYTHONPATH=" + (dir / "lib").string(),
              std::string("PYTHONDONTWRITEBYTECODE=1"), std::string("PYTHONUNBUFFERED=1"),
              std::string("VANTREL_AGENT_TYPE=macos"),
              "AGENT_STATE=" + (dir / "agent.json").string(),
              "AGENT_SPOOL=" + (dir / "spool.db").string()}) {
            EXPECT_THAT(env, HasSubstr(entry + "\n"));
        }
        EXPECT_THAT(env, HasSubstr(testBuild ? "VANTREL_API=http://127.0.0.1:9/api\n"
                                             : "VANTREL_API=http://inherited.invalid\n"));
        EXPECT_EQ(testing::readFile(dir / "agent.pid"), std::to_string(*agent->pidForTesting()));
        agent->stop();
        std::filesystem::remove(dir / "env");
    }
    ::close(leaky);
    ::unsetenv("VANTREL_API");
}

// Changes arrive on the main queue in order, without repeats, and the last words of a crashing
// agent are logged and count before its exit.
TEST_F(AgentProcessTest, StateChangesArriveInOrderAndTheLastWordsCountBeforeTheExit) {
    const char* output = "Waiting to be paired\npv=1 grid=2\npv=1 grid=2\nnoise\npv=3 grid=-1\n";
    run("printf '" + std::string(output) + "'\nexit 3\n");
    ASSERT_TRUE(pumpUntil([&] { return deliveredContains(AgentState::stopped("exited 3")); }));
    EXPECT_THAT(delivered, ElementsAre(AgentState::waitingToPair(),
                                       AgentState::reading("Solar 1 kW \u00B7 importing 2.00 kW"),
                                       AgentState::reading("Solar 3 kW \u00B7 exporting 1.00 kW"),
                                       AgentState::stopped("exited 3")));
    EXPECT_EQ(testing::readFile(dir / "agent.log"), output);
}

// Each exit doubles the wait up to a minute; a status line before the exit brings it back to one
// second.
TEST_F(AgentProcessTest, AnAgentThatKeepsExitingBacksOffUpToAMinute) {
    struct Case {
        const char* body;
        std::vector<double> waits;
    } cases[] = {{"exit 0\n", {1, 2, 4, 8, 16, 32, 60, 60, 60}},
                 {"echo pv=1\nexit 5\n", {1, 1, 1}}};
    for (const auto& c : cases) {
        run(c.body);
        std::vector<double> waits;
        for (size_t round = 0; round < c.waits.size(); ++round) {
            auto delay = nextRelaunch();
            ASSERT_TRUE(delay) << round;
            waits.push_back(*delay);
            background->advance(*delay);
        }
        EXPECT_EQ(waits, c.waits) << c.body;
        agent->stop();
        background->advance(60);
    }
}

// The helper writes only after the test has seen the exit handled, so a drain that waited for the
// end of the stream would never finish, and one that gave up would lose the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
    run("(read x < go; echo late words) &\necho $! > helper\n"
        "echo last words\nexit 4\n");
    ASSERT_TRUE(pumpUntil([&] { return deliveredContains(AgentState::stopped("exited 4")); }));
    toKill.push_back(std::stoi(testing::readFile(dir / "helper")));
    EXPECT_EQ(testing::readFile(dir / "agent.log"), "last words\n");
    EXPECT_EQ(nextRelaunch(), 1.0);
    testing::writeFile(dir / "go", "\n");
    EXPECT_TRUE(testing::eventually(
        [&] { return testing::readFile(dir / "agent.log") == "last words\nlate words\n"; }));
}

// Changes wait for the main loop in order, but never more than a bounded number of them.
TEST_F(AgentProcessTest, ARunawayAgentsChangesAreFoldedAndTheLastOneArrives) {
    run("i=0\nwhile [ $i -lt 3000 ]; do i=$((i+1)); echo pv=$i; done\n"
        "echo done > finished\nexec sleep 30\n");
    ASSERT_TRUE(testing::eventually([&] {
        return std::filesystem::exists(dir / "finished") &&
               testing::readFile(dir / "agent.log").ends_with("pv=3000\n");
    }));
    // The log is written before the chunk's lines are judged; the state waits for that to finish.
    EXPECT_EQ(agent->state(), AgentState::reading("Solar 3000 kW"));
    EXPECT_EQ(mainQueue->size(), 1u);
    mainQueue->runDue();
    ASSERT_FALSE(delivered.empty());
    EXPECT_LE(delivered.size(), AgentProcess::kUndeliveredLimit);
    EXPECT_EQ(delivered.back(), AgentState::reading("Solar 3000 kW"));
    for (size_t i = 1; i < delivered.size(); ++i) {
        EXPECT_LT(std::stoi(delivered[i - 1].text().substr(6)),
                  std::stoi(delivered[i].text().substr(6)));
    }
}

// Also: a restart of a running agent ends it and relaunches it a second later.
TEST_F(AgentProcessTest, RestartNowDuringTheWaitLaunchesAtOnceAndTheOldCheckDoesNothing) {
    run("n=$(cat count 2>/dev/null || echo 0)\necho $((n + 1)) > count\n"
        "[ \"$n\" -ge 1 ] && exec sleep 30\nexit 1\n");
    ASSERT_TRUE(nextRelaunch());
    ASSERT_EQ(agent->restartDelayForTesting(), 2.0);
    agent->restartNow();
    EXPECT_EQ(agent->restartDelayForTesting(), 1.0);
    pid_t running = waitForPid();
    ASSERT_TRUE(testing::eventually([&] { return testing::readFile(dir / "count") == "2\n"; }));
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running);
    EXPECT_EQ(testing::readFile(dir / "count"), "2\n");

    // Restarted while it runs: it is ended and launched again one second later.
    agent->restartNow();
    ASSERT_TRUE(pumpUntil([&] { return deliveredContains(AgentState::stopped("exited 15")); }));
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_TRUE(testing::eventually([&] { return testing::readFile(dir / "count") == "3\n"; }));
}

TEST_F(AgentProcessTest, TheEndOfAnAgentLetGoByStopLeavesTheNewerAgentAlone) {
    ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
    run("n=$(cat count 2>/dev/null || echo 0)\necho $((n + 1)) > count\n"
        "[ \"$n\" -ge 1 ] && exec sleep 30\n"
        "trap '' TERM\nread x < go\nexit 0\n");
    ASSERT_TRUE(testing::eventually([&] { return testing::readFile(dir / "count") == "1\n"; }));
    agent->stop();
    agent->start();
    pid_t newer = waitForPid();
    ASSERT_TRUE(testing::eventually([&] { return testing::readFile(dir / "count") == "2\n"; }));
    testing::writeFile(dir / "go", "\n");
    ASSERT_TRUE(testing::eventually([&] { return agent->exitsHandledForTesting() == 1; }));
    mainQueue->runDue();
    EXPECT_EQ(agent->pidForTesting(), newer);
    EXPECT_EQ(agent->state(), AgentState::starting());
    EXPECT_EQ(background->size(), 0u);
}

TEST_F(AgentProcessTest, AnInterpreterThatCannotStartIsReportedAndRetried) {
    testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
    struct Case {
        std::filesystem::path interpreter;
        const char* reason;
    } cases[] = {{dir / "missing", "No such file or directory"},
                 {dir / "not-executable", "Permission denied"}};
    for (const auto& c : cases) {
        delivered.clear();
        start(config(c.interpreter));
        mainQueue->runDue();
        EXPECT_THAT(delivered, ElementsAre(AgentState::stopped(c.reason)));
        auto delay = nextRelaunch();
        ASSERT_TRUE(delay);
        background->advance(*delay);
        EXPECT_EQ(background->nextDelay(), 2.0);
        agent->stop();
        background->advance(10);
    }
}

TEST_F(AgentProcessTest, BytesSplitAcrossReadsAndInvalidChunks) {
    run("printf '\\303'\nsleep 0.2\nprintf '\\251 ok\\n'\nsleep 0.2\n"
        "printf '\\377\\376 bad\\n'\nsleep 0.2\nprintf 'pv=1\\n'\nexec sleep 30\n");
    ASSERT_TRUE(pumpUntil([&] { return !delivered.empty(); }));
    EXPECT_EQ(testing::readFile(dir / "agent.log"), "\u00E9 ok\npv=1\n");
}

}  // namespace
}  // namespace vantrel
