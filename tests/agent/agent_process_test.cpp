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

// Counts its runs in "count"; every run after the first sleeps.
const std::string kCounted =
    "n=$(cat count || echo 0)\necho $((n + 1)) > count\n[ $n = 0 ] || exec sleep 30\n";

// The agent is a shell script run in the test's folder; relaunches wait on a manual queue.
class AgentProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { agent->stop(); }

    AgentConfig config(std::filesystem::path interpreter) {
        return {std::move(interpreter), dir / "python",    dir / "lib",       dir / "agent.json",
                dir / "spool.db",       dir / "agent.pid", dir / "agent.log", std::nullopt};
    }

    std::filesystem::path script(const std::string& body) {
        auto path = dir / ("agent" + std::to_string(++scripts) + ".sh");
        testing::writeFile(path, "#!/bin/sh\ncd '" + dir.path().string() + "'\n" + body, true);
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
    void fifo(const char* name) { ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0); }

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
    int scripts = 0;
    std::thread::id testThread = std::this_thread::get_id();
};

// The contract's arguments and environment, and no descriptor but the three standard ones.
TEST_F(AgentProcessTest, LaunchesWithTheArgumentsAndEnvironmentOfTheContract) {
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    for (bool testBuild : {false, true}) {
        auto agentConfig =
            config(script("ls /proc/self/fd > fds\nprintf '%s\\n' \"$@\" > args\n"
                          "env > env.new\nmv env.new env\nexec sleep 30\n"));
        agentConfig.apiBase =
            testBuild ? std::optional<std::string>("http://127.0.0.1:9/api") : std::nullopt;
        start(agentConfig);
        ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(dir / "env"); }));
        EXPECT_EQ(read("args"), "-m\nvantrel_agent\nrun\n");
        EXPECT_EQ(read("fds"), "0\n1\n2\n3\n");  // 3: ls's own folder
        auto at = [&](const char* name) { return (dir / name).string(); };
        for (auto entry :
             {"PYTHONHOME=" + at("python"), "PYTHONPATH=" + at("lib"), "PYTHONDONTWRITEBYTECODE=1"s,
              "PYTHONUNBUFFERED=1"s, "VANTREL_AGENT_TYPE=macos"s, "AGENT_STATE=" + at("agent.json"),
              "AGENT_SPOOL=" + at("spool.db"),
              "VANTREL_API=" + agentConfig.apiBase.value_or("http://inherited.invalid")}) {
            EXPECT_THAT(read("env"), HasSubstr(entry + "\n"));
        }
        EXPECT_EQ(read("agent.pid"), std::to_string(*agent->pidForTesting()));
        agent->stop();
        std::filesystem::remove(dir / "env");
    }
    ::close(leaky);
    ::unsetenv("VANTREL_API");
}

// Changes arrive on the main queue in order, without repeats; the last words of a crashing agent
// are logged and count before its exit; a character split across reads is joined, and a chunk
// that is not UTF-8 is dropped. Each piece is written, then read whole, before the next.
TEST_F(AgentProcessTest, StateChangesArriveInOrderAndTheLastWordsCountBeforeTheExit) {
    fifo("go1"), fifo("go2"), fifo("go3");
    run("piece() { printf \"$1\"; : > written$2; read x < go$2; }\n"
        "piece '\\303' 1\npiece '\\251 ok\\n' 2\npiece '\\377 bad\\n' 3\n"
        "printf 'Waiting to be paired\\npv=1 grid=2\\npv=1 grid=2\\nnoise\\npv=3 grid=-1\\n'\n"
        "exit 3\n");
    for (std::string piece : {"1", "2", "3"}) {
        ASSERT_TRUE(testing::eventually(
            [&] { return std::filesystem::exists(dir / ("written" + piece)); }));
        ASSERT_TRUE(outputTaken());
        testing::writeFile(dir / ("go" + piece), "\n");
    }
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 3")));
    EXPECT_THAT(delivered, ElementsAre(AgentState::waitingToPair(),
                                       AgentState::reading("Solar 1 kW \u00B7 importing 2.00 kW"),
                                       AgentState::reading("Solar 3 kW \u00B7 exporting 1.00 kW"),
                                       AgentState::stopped("exited 3")));
    EXPECT_EQ(read("agent.log"),
              "\u00E9 ok\nWaiting to be paired\npv=1 grid=2\npv=1 grid=2\nnoise\npv=3 grid=-1\n");
}

// Each exit doubles the wait up to a minute; a status line before the exit brings it back to one
// second; an interpreter that cannot start is reported and retried the same way.
TEST_F(AgentProcessTest, AnAgentThatKeepsExitingBacksOffUpToAMinute) {
    testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
    std::tuple<std::filesystem::path, std::vector<double>, std::string> cases[] = {
        {script("exit 0\n"), {1, 2, 4, 8, 16, 32, 60, 60, 60}, "exited 0"},
        {script("echo pv=1\nexit 5\n"), {1, 1, 1}, "exited 5"},
        {dir / "missing", {1, 2}, "No such file or directory"},
        {dir / "not-executable", {1, 2}, "Permission denied"}};
    for (const auto& [interpreter, expected, ended] : cases) {
        start(config(interpreter));
        std::vector<double> waits;
        for (size_t round = 0; round < expected.size(); ++round) {
            auto delay = nextRelaunch();
            ASSERT_TRUE(delay) << round;
            waits.push_back(*delay);
            background->advance(*delay);
        }
        EXPECT_EQ(waits, expected) << interpreter;
        EXPECT_TRUE(pumpUntilDelivered(AgentState::stopped(ended)));
        agent->stop();
        background->advance(60);
    }
}

// The helper writes only after the test has seen the exit handled, so a drain that waited for the
// end of the stream would never finish, and one that gave up would lose the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    fifo("go");
    run("(read x < go; echo late words) &\necho last words\nexit 4\n");
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 4")));
    EXPECT_EQ(read("agent.log"), "last words\n");
    EXPECT_EQ(nextRelaunch(), 1.0);
    testing::writeFile(dir / "go", "\n");
    EXPECT_TRUE(fileBecomes("agent.log", "last words\nlate words\n"));
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

// Also: a restart of a running agent ends it and relaunches it a second later.
TEST_F(AgentProcessTest, RestartNowDuringTheWaitLaunchesAtOnceAndTheOldCheckDoesNothing) {
    run(kCounted + "exit 1\n");
    ASSERT_TRUE(nextRelaunch());
    ASSERT_EQ(agent->restartDelayForTesting(), 2.0);
    agent->restartNow();
    EXPECT_EQ(agent->restartDelayForTesting(), 1.0);
    ASSERT_TRUE(fileBecomes("count", "2\n"));
    auto running = agent->pidForTesting();  // the old check finds it running
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running);
    EXPECT_EQ(read("count"), "2\n");

    agent->restartNow();
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 15")));
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_TRUE(fileBecomes("count", "3\n"));
}

TEST_F(AgentProcessTest, TheEndOfAnAgentLetGoByStopLeavesTheNewerAgentAlone) {
    fifo("go");
    run(kCounted + "trap '' TERM\nread x < go\nexit 0\n");
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
