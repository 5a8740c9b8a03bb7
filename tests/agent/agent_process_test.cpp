#include "agent/agent_process.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::string_literals;

// The agent is a shell script run in the test's folder; relaunches wait on a manual queue.
class AgentProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { agent->stop(); }

    void start(std::filesystem::path interpreter, std::optional<std::string> apiBase = {}) {
        agent = AgentProcess::create(
            {std::move(interpreter), dir / "python", dir / "lib", dir / "agent.json",
             dir / "spool.db", dir / "agent.pid", dir / "agent.log", std::move(apiBase)},
            mainQueue, background);
        agent->setOnState([this](const AgentState& state) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            delivered.push_back(state);
        });
        agent->start();
    }
    void run(const std::string& body, std::optional<std::string> apiBase = {}) {
        testing::writeFile(dir / "agent.sh", "#!/bin/sh\ncd '" + dir.path().string() + "'\n" + body,
                           true);
        start(dir / "agent.sh", std::move(apiBase));
    }

    // Runs the main queue while waiting for real children.
    bool pumpUntilDelivered(const AgentState& state) {
        return testing::eventually([&] {
            mainQueue->runDue();
            return std::ranges::find(delivered, state) != delivered.end();
        });
    }
    std::string read(const char* name) { return testing::readFile(dir / name); }
    bool fileBecomes(const char* name, std::string text) {
        return testing::eventually([&] { return read(name) == text; });
    }
    // Whether the supervisor has read all the agent has written so far (its pipe holds nothing).
    bool outputTaken() {
        UniqueFd pipe(::open(("/proc/" + std::to_string(*agent->pidForTesting()) + "/fd/1").c_str(),
                             O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        int queued = -1;
        return testing::eventually(
            [&] { return ::ioctl(pipe.get(), FIONREAD, &queued) == 0 && queued == 0; });
    }
    // The delay of the next relaunch check, once the exit handler has scheduled it.
    std::optional<double> nextRelaunch() {
        return background->waitForTasks(1) ? background->nextDelay() : std::nullopt;
    }

    testing::TempDir dir;
    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<testing::ManualQueue> background = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<AgentProcess> agent;
    std::vector<AgentState> delivered;
    std::thread::id testThread = std::this_thread::get_id();
};

// One agent, each piece of its output read whole before it writes the next: it starts with the
// contract's arguments and environment and no descriptor but the three standard ones; changes
// arrive on the main queue in order, without repeats; a character split across reads is joined,
// a chunk that is not UTF-8 is dropped; its last words are logged and count before its exit. A
// child of it holding the pipe writes only once the exit is handled, so a drain that waited for
// the end of the stream would never finish, and one that gave up would lose the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    run("ls /proc/self/fd > fds\nprintf '%s\\n' \"$@\" > args\nenv > env\n"
        "piece() { printf \"$1\"; : > written$2; read x < go; }\n"
        "piece '\\303' 1\npiece '\\251 ok\\n' 2\npiece '\\377 bad\\n' 3\n"
        "(read x < go; echo late words) &\n"
        "printf 'Waiting to be paired\\npv=1 grid=2\\npv=1 grid=2\\nnoise\\npv=3 grid=-1\\n'\n"
        "exit 3\n",
        "http://127.0.0.1:9/api");
    ::close(leaky);
    ::unsetenv("VANTREL_API");
    for (std::string piece : {"1", "2", "3"}) {
        ASSERT_TRUE(testing::eventually(
            [&] { return std::filesystem::exists(dir / ("written" + piece)); }));
        ASSERT_TRUE(outputTaken());
        testing::writeFile(dir / "go", "\n");
    }
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 3")));
    EXPECT_THAT(delivered, ElementsAre(AgentState::waitingToPair(),
                                       AgentState::reading("Solar 1 kW \u00B7 importing 2.00 kW"),
                                       AgentState::reading("Solar 3 kW \u00B7 exporting 1.00 kW"),
                                       AgentState::stopped("exited 3")));
    const std::string log =
        "\u00E9 ok\nWaiting to be paired\npv=1 grid=2\npv=1 grid=2\nnoise\npv=3 grid=-1\n";
    EXPECT_EQ(read("agent.log"), log);
    EXPECT_EQ(nextRelaunch(), 1.0);
    testing::writeFile(dir / "go", "\n");
    EXPECT_TRUE(fileBecomes("agent.log", log + "late words\n"));

    EXPECT_EQ(read("args"), "-m\nvantrel_agent\nrun\n");
    EXPECT_EQ(read("fds"), "0\n1\n2\n3\n");  // 3: ls's own folder
    auto at = [&](const char* name) { return (dir / name).string(); };
    for (auto entry :
         {"PYTHONHOME=" + at("python"), "PYTHONPATH=" + at("lib"), "PYTHONDONTWRITEBYTECODE=1"s,
          "PYTHONUNBUFFERED=1"s, "VANTREL_AGENT_TYPE=macos"s, "AGENT_STATE=" + at("agent.json"),
          "AGENT_SPOOL=" + at("spool.db"), "VANTREL_API=http://127.0.0.1:9/api"s}) {
        EXPECT_THAT(read("env"), HasSubstr(entry + "\n"));
    }
    // A production build passes on what it inherits.
    EXPECT_THAT(agentEnvironment({}, {"VANTREL_API=x"}), ::testing::Contains("VANTREL_API=x"));
}

// Each exit doubles the wait up to a minute, and a status line before an exit (the ninth run's)
// brings it back to one second. A restart during the wait launches at once, resetting the wait,
// and the old check does nothing; a restart of a running agent ends it and relaunches it a second
// later. An interpreter that cannot start is reported and retried the same way.
TEST_F(AgentProcessTest, RestartNowDuringTheWaitLaunchesAtOnceAndTheOldCheckDoesNothing) {
    run("n=$(cat count || echo 0)\necho $((n + 1)) > count\n[ $n = 8 ] && echo pv=1\n"
        "[ $n -lt 10 ] || exec sleep 30\nexit 1\n");
    std::vector<double> waits;
    while (waits.size() < 10) {
        auto delay = nextRelaunch();
        ASSERT_TRUE(delay) << waits.size();
        waits.push_back(*delay);
        background->advance(waits.size() < 10 ? *delay : 0);
    }
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60, 1, 2}));
    ASSERT_EQ(agent->restartDelayForTesting(), 4.0);
    agent->restartNow();
    EXPECT_EQ(agent->restartDelayForTesting(), 1.0);
    ASSERT_TRUE(fileBecomes("count", "11\n"));
    auto running = agent->pidForTesting();  // the old check finds it running
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running);
    EXPECT_EQ(read("count"), "11\n");

    agent->restartNow();
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 15")));
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_TRUE(fileBecomes("count", "12\n"));

    agent->stop();
    start(dir / "missing");
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_EQ(nextRelaunch(), 2.0);
    EXPECT_TRUE(pumpUntilDelivered(AgentState::stopped("No such file or directory")));
}

// Changes wait for the main loop in order, but never more than a bounded number of them.
TEST_F(AgentProcessTest, ARunawayAgentsChangesAreFoldedAndTheLastOneArrives) {
    run("i=0\nwhile [ $i -lt 3000 ]; do i=$((i+1)); echo pv=$i; done\nexec sleep 30\n");
    ASSERT_TRUE(testing::eventually([&] { return read("agent.log").ends_with("pv=3000\n"); }));
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

TEST_F(AgentProcessTest, TheEndOfAnAgentLetGoByStopLeavesTheNewerAgentAlone) {
    ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
    run("n=$(cat count || echo 0)\necho $((n + 1)) > count\n[ $n = 0 ] || exec sleep 30\n"
        "trap '' TERM\nread x < go\nexit 0\n");
    ASSERT_TRUE(fileBecomes("count", "1\n"));
    agent->stop();
    agent->start();
    ASSERT_TRUE(fileBecomes("count", "2\n"));
    auto newer = agent->pidForTesting();
    testing::writeFile(dir / "go", "\n");
    ASSERT_TRUE(testing::eventually([&] { return agent->exitsHandledForTesting() == 1; }));
    mainQueue->runDue();
    EXPECT_EQ(agent->pidForTesting(), newer);
    EXPECT_EQ(agent->state(), AgentState::starting());
    EXPECT_EQ(background->size(), 0u);
}

}  // namespace
}  // namespace vantrel
