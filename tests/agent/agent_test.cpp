#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include "agent/agent_process.h"
#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "support/manual_queue.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

// The orphan runs a copy of the system's Python, the agent's interpreter. It is signalled only
// when the pid file names it exactly, and the pid file goes (SIGKILL when it stays: the desktop
// app's test of an agent left running). A record of another start or boot (its pid since reused) or
// another program behind a matching record is left alone, and so is its pid file.
TEST(OrphanReaper, EndsOnlyTheProcessThePidFileNamesExactly) {
    testing::TempDir dir;
    const auto python = dir / "python3";
    std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, python);
    const std::string obeys = "import time\nprint('ready', flush=True)\ntime.sleep(600)";
    // Each row's record: the orphan's pid, start time plus `later` and `boot` (its own if null).
    const std::tuple<const char*, std::filesystem::path, std::string, int, const char*,
                     std::optional<int>>
        rows[] = {
            {"the agent itself, obeying SIGTERM", python, obeys, 0, nullptr, SIGTERM},
            {"another start with the same pid", python, obeys, 1, nullptr, std::nullopt},
            {"another boot with the same pid and start", python, obeys, 0, "0ther-b00t", {}},
            {"another program", "/bin/sh", "echo ready; exec sleep 600", 0, nullptr, {}},
        };
    for (const auto& [behaviour, program, code, later, boot, endedBy] : rows) {
        SCOPED_TRACE(behaviour);
        testing::RunningApp orphan(program, {"-c", code}, currentEnvironment());
        ASSERT_TRUE(orphan.waitForOutput("ready"));
        auto it = AgentIdentity::of(orphan.pid());
        ASSERT_TRUE(it);
        testing::writeFile(dir / "agent.pid", " " + std::to_string(it->pid) + " " +
                                                  std::to_string(it->startTime + later) + " " +
                                                  (boot ? boot : it->bootId) + "\n");
        auto reaped = reapOrphan(dir / "agent.pid", dir / "." / "python3", 0.2);
        EXPECT_EQ(reaped.has_value(), endedBy.has_value()) << "reaped";
        EXPECT_EQ(orphan.waitForExit(endedBy ? 15 : 0), endedBy) << "ended by";
        EXPECT_EQ(std::filesystem::exists(dir / "agent.pid"), !endedBy) << "pid file kept";
    }
}

// The agent log stays bounded: at open, one past the limit is emptied and one at it kept; while
// it runs, one already past the limit moves to ".1" (replacing the one before) before the next
// write. An unfinished last line is ended once, so the next words start a line of their own.
TEST(AgentLog, StaysWithinTwiceItsLimitAndEndsAnUnfinishedLine) {
    testing::TempDir dir;
    const auto log = dir / "agent.log", older = dir / "agent.log.1";
    testing::writeFile(log, "0123456789");
    AgentLog(log, 10).append("new");
    EXPECT_EQ(testing::readFile(log), "0123456789new") << "a log at the limit is kept at open";
    AgentLog(log, 10).append("new");
    EXPECT_EQ(testing::readFile(log), "new") << "a log past the limit is emptied at open";
    std::filesystem::remove(log);
    AgentLog running(log, 10);
    running.append("0123456789");
    running.append("ab");
    EXPECT_EQ(testing::readFile(log), "0123456789ab") << "a log reaching past the limit";
    EXPECT_FALSE(std::filesystem::exists(older)) << "no older log while within the limit";
    running.append("cd");
    EXPECT_EQ(testing::readFile(older), "0123456789ab") << "the log past the limit moved";
    EXPECT_EQ(testing::readFile(log), "cd") << "the new log";
    running.append("0123456789");
    running.append("ef");
    EXPECT_EQ(testing::readFile(older), "cd0123456789") << "the older log replaced";
    running.endLine();
    running.endLine();
    running.append("gh\n");
    running.endLine();
    EXPECT_EQ(testing::readFile(log), "ef\ngh\n") << "each unfinished line ended once";
}

// The agent is a shell script run in the test's folder; the reap, relaunches and the grace wait on
// a manual queue.
class AgentProcessTest : public ::testing::Test {
  protected:
    static constexpr double kGrace = 3;

    void TearDown() override {
        if (agent) {
            agent->stop();
            background->advance(kGrace);
        }
    }

    void run(const std::string& body, std::optional<std::string> apiBase = {}) {
        testing::writeFile(dir / "agent.sh", "#!/bin/sh\ncd '" + dir.path().string() + "'\n" + body,
                           true);
        AgentConfig config{at("agent.sh"), at("python"),    at("lib"),       at("agent.json"),
                           at("spool.db"), at("agent.pid"), at("agent.log"), std::move(apiBase)};
        config.grace = kGrace;
        config.readSize = readSize;
        agent = AgentProcess::create(std::move(config), mainQueue, background);
        agent->setOnState([this](const AgentState& state) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            delivered.push_back(state);
        });
        agent->setOnLaunched([this] { launchesTold.push_back(delivered.size()); });
        agent->start();
        EXPECT_EQ(agent->pidForTesting(), std::nullopt) << "nothing launched before the reap";
        background->runDue();  // the reap, which finds no pid file, then the launch
    }

    std::string at(const char* name) const { return (dir / name).string(); }
    std::string read(const char* name) { return testing::readFile(dir / name); }
    bool exists(const std::string& name) {
        return testing::eventually([&] { return std::filesystem::exists(dir / name); });
    }
    bool pumpUntilDelivered(const AgentState& state) {
        return testing::eventually([&] {
            mainQueue->runDue();
            return std::ranges::find(delivered, state) != delivered.end();
        });
    }
    // Whether the supervisor has read all the agent has written so far (its pipe holds nothing).
    bool outputTaken() {
        UniqueFd pipe(::open(("/proc/" + std::to_string(*agent->pidForTesting()) + "/fd/1").c_str(),
                             O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        int queued = -1;
        return testing::eventually(
            [&] { return ::ioctl(pipe.get(), FIONREAD, &queued) == 0 && queued == 0; });
    }
    std::optional<double> nextRelaunch() {
        return background->waitForTasks(1) ? background->nextDelay() : std::nullopt;
    }

    testing::TempDir dir;
    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<testing::ManualQueue> background = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<AgentProcess> agent;
    std::vector<AgentState> delivered;
    std::vector<size_t> launchesTold;  // how many states had been delivered at each
    std::thread::id testThread = std::this_thread::get_id();
    size_t readSize = AgentConfig{}.readSize;
};

// One agent, each output piece read before the next: the contract's arguments, environment and
// descriptors; changes in order without repeats; a split character joined, a chunk not UTF-8
// dropped; last words logged before the exit counts. A child holding the pipe writes once the exit
// is handled: a drain waiting for the stream's end would never finish, one giving up would lose
// the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    run("{ ls /proc/self/fd; printf '%s\\n' \"$@\"; [ $$ = $(cut -d' ' -f6 /proc/$$/stat) ] && "
        "echo "
        "leader; } > contract\nenv > env\nmkfifo go1 go2 go3 late\n"
        "piece() { printf \"$1\"; : > written$2; read x < go$2; }\n"
        "piece '\\303' 1\npiece '\\251 ok\\n' 2\npiece '\\377 bad\\n' 3\n"
        "(read x < late; echo late words) &\n"
        "printf 'Waiting to be paired\\npv=1 grid=2\\npv=1 grid=2\\nnoise\\npv=3 grid=-1\\n'\n"
        "exit 3\n",
        "http://127.0.0.1:9/api");
    ::close(leaky);
    ::unsetenv("VANTREL_API");
    for (std::string piece : {"1", "2", "3"}) {
        SCOPED_TRACE("piece " + piece);
        ASSERT_TRUE(exists("written" + piece) && outputTaken()) << "expected it written and read";
        testing::writeFile(dir / ("go" + piece), "\n");
    }
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 3")));
    EXPECT_THAT(delivered,
                ::testing::ElementsAre(AgentState::waitingToPair(),
                                       AgentState::reading("Solar 1 kW \u00B7 importing 2.00 kW"),
                                       AgentState::reading("Solar 3 kW \u00B7 exporting 1.00 kW"),
                                       AgentState::stopped("exited 3")));
    const std::string log =
        "\u00E9 ok\nWaiting to be paired\npv=1 grid=2\npv=1 grid=2\nnoise\npv=3 grid=-1\n";
    EXPECT_EQ(read("agent.log"), log) << "the log before the late words";
    EXPECT_FALSE(std::filesystem::exists(dir / "agent.pid")) << "the pid file of an ended agent";
    testing::writeFile(dir / "late", "\n");
    EXPECT_TRUE(testing::eventually([&] { return read("agent.log") == log + "late words\n"; }))
        << read("agent.log");

    EXPECT_EQ(read("contract"), "0\n1\n2\n3\n-m\nvantrel_agent\nrun\nleader\n")
        << "descriptors (3 is ls's own folder), arguments, and a session of its own it leads";
    for (auto entry :
         {"PYTHONHOME=" + at("python"), "PYTHONPATH=" + at("lib"), "PYTHONDONTWRITEBYTECODE=1"s,
          "PYTHONUNBUFFERED=1"s, "VANTREL_AGENT_TYPE=macos"s, "AGENT_STATE=" + at("agent.json"),
          "AGENT_SPOOL=" + at("spool.db"), "VANTREL_API=http://127.0.0.1:9/api"s}) {
        EXPECT_THAT(read("env"), ::testing::HasSubstr(entry + "\n"));
    }
    EXPECT_THAT(agentEnvironment({}, {"VANTREL_API=x"}), ::testing::Contains("VANTREL_API=x"))
        << "a production build passes on what it inherits";
}

// Each exit doubles the wait up to a minute; a status line (the ninth run's) brings it back to a
// second. A restart during the wait launches at once and resets the wait; the old wait's end then
// does nothing.
TEST_F(AgentProcessTest, EachExitWaitsLongerUpToAMinuteAndARestartLaunchesAtOnce) {
    run("n=$(cat count || echo 0)\necho $((n + 1)) > count\n[ $n = 8 ] && echo pv=1\n"
        "[ $n -lt 10 ] || exec sleep 30\nexit 1\n");
    std::vector<double> waits;
    for (std::optional<double> delay; waits.size() < 10 && (delay = nextRelaunch());) {
        waits.push_back(*delay);
        background->advance(waits.size() < 10 ? *delay : 0);
    }
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60, 1, 2}));
    ASSERT_EQ(agent->machineForTesting().delay, 4.0) << "the wait after the tenth run";
    agent->restartNow();
    EXPECT_EQ(agent->machineForTesting().delay, 1.0) << "the wait after a restart";
    ASSERT_TRUE(testing::eventually([&] { return read("count") == "11\n"; }))
        << "expected the restart to launch at once";
    auto running = agent->pidForTesting();
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running) << "the old wait's end launches nothing";
}

// A launch that fails is reported and retried, the wait doubling.
TEST_F(AgentProcessTest, AFailedLaunchIsReportedAndRetriedLater) {
    run("rm \"$0\"\nexit 1\n");
    EXPECT_EQ(nextRelaunch(), 1.0) << "the wait after the exit";
    background->advance(1);
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("No such file or directory")));
    EXPECT_EQ(nextRelaunch(), 2.0) << "the wait after a failed launch";
    background->advance(2);
    EXPECT_EQ(nextRelaunch(), 4.0) << "the wait after the retry failed too";
    EXPECT_EQ(launchesTold, std::vector<size_t>{0})
        << "expected the one launch told, before any state, and no failed one";
}

// stop() sends one SIGTERM and nothing else: the agent says its last words, ends by itself and no
// relaunch follows; the state stays. stopAndWait returns once it has ended.
TEST_F(AgentProcessTest, StopLetsTheAgentEndByItselfWithItsLastWordsLogged) {
    run("trap 'echo last words; exit 0' TERM\necho pv=2\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(pumpUntilDelivered(AgentState::reading("Solar 2 kW")));
    EXPECT_TRUE(agent->stopAndWait()) << "the agent ended within its grace";
    EXPECT_EQ(read("agent.log"), "pv=2\nlast words\n");
    mainQueue->runDue();
    EXPECT_EQ(delivered.back(), AgentState::reading("Solar 2 kW")) << "the state after a stop";
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), std::nullopt) << "no relaunch after a stop";
}

// An agent that ignores SIGTERM is killed once its grace is over, not before; a restart then
// relaunches it a second after its end.
TEST_F(AgentProcessTest, AnAgentIgnoringSigtermIsKilledWhenItsGraceIsOver) {
    run("trap '' TERM\n: > started$(ls started* 2>/dev/null | wc -l)\nwhile :; do sleep 0.1; "
        "done\n");
    ASSERT_TRUE(exists("started0"));
    agent->restartNow();
    background->advance(kGrace - 0.5);
    EXPECT_EQ(agent->machineForTesting().phase, supervision::Phase::ending)
        << "before the grace is over";
    background->advance(0.5);
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 9"))) << "killed after the grace";
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_TRUE(exists("started1")) << "relaunched after the restart";
}

// A dead agent's unfinished line is logged as it was and ended there; the next agent's first line
// is its own, so "Waiting to be paired" is never read as a reading.
TEST_F(AgentProcessTest, ADeadAgentsUnfinishedLineNeverJoinsTheNextAgentsWords) {
    run("if [ -e once ]; then echo 'Waiting to be paired'; exec sleep 30; fi\n"
        ": > once\nprintf 'pv=9.99'\nexit 0\n");
    ASSERT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    ASSERT_TRUE(pumpUntilDelivered(AgentState::waitingToPair()));
    EXPECT_THAT(delivered,
                ::testing::Not(::testing::Contains(AgentState::reading("Solar 9.99 kW"))));
    EXPECT_EQ(read("agent.log"), "pv=9.99\nWaiting to be paired\n");
}

// Full reads hand their changes over together, but never leave one behind: a status line that
// ends a read filling the buffer arrives although the agent then writes nothing more.
TEST_F(AgentProcessTest, AStatusLineEndingAFullReadArrivesWithoutMoreOutput) {
    testing::writeFile(dir / "full", std::string(readSize - 5, '\n') + "pv=7\n");
    run("dd if=full bs=" + std::to_string(readSize) +
        " count=1 iflag=fullblock 2>/dev/null\nexec sleep 30\n");
    EXPECT_TRUE(pumpUntilDelivered(AgentState::reading("Solar 7 kW")))
        << "the one write of a full read, then quiet";
}

// However small the reads, what the agent wrote before it ended is read before its end counts.
TEST_F(AgentProcessTest, LastWordsWrittenJustBeforeTheExitAreJudgedBeforeIt) {
    readSize = 64;
    run("head -c 200000 /dev/zero | tr '\\0' '\\n'\necho pv=5\nexit 0\n");
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 0")));
    EXPECT_THAT(delivered, ::testing::ElementsAre(AgentState::reading("Solar 5 kW"),
                                                  AgentState::stopped("exited 0")))
        << "expected the last words' reading before the exit";
}

// Changes wait for the main loop in order, but never more than a bounded number of them.
TEST_F(AgentProcessTest, ARunawayAgentsChangesAreFoldedAndTheLastOneArrives) {
    run("i=0\nwhile [ $i -lt 3000 ]; do i=$((i+1)); echo pv=$i; done\nexec sleep 30\n");
    ASSERT_TRUE(testing::eventually([&] { return read("agent.log").ends_with("pv=3000\n"); }));
    // The log is written before the chunk's lines are judged; the state waits for that to finish.
    EXPECT_TRUE(testing::eventually(
        [&] { return agent->state() == AgentState::reading("Solar 3000 kW"); }));
    EXPECT_EQ(mainQueue->size(), 1u) << "one delivery task waiting";
    mainQueue->runDue();
    ASSERT_FALSE(delivered.empty());
    EXPECT_LE(delivered.size(), AgentProcess::kUndeliveredLimit);
    EXPECT_EQ(delivered.back(), AgentState::reading("Solar 3000 kW"));
    auto number = [](const AgentState& state) { return std::stoi(state.text().substr(6)); };
    EXPECT_EQ(std::ranges::adjacent_find(delivered, std::greater_equal<>(), number),
              delivered.end())
        << "expected the numbers rising";
}

}  // namespace
}  // namespace vantrel
