#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "agent/agent_process.h"
#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"
#include "support/manual_queue.h"
#include "support/running_app.h"
#include "support/utf8_stream.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

// Rows the fuzz target cannot judge (it trims the same way): a blank is a tab or a Unicode space,
// not CR nor a zero-width space; a value after a tab or vertical tab is no number.
TEST(Protocol, StatusLineTable) {
    std::pair<const char*, std::optional<std::string>> labels[] = {
        {"\u00A0\u2003\u2000\u200A pv=3\u3000\u205F", "Solar 3 kW"},
        {" pv=3\r", "Solar 3\r kW"},
        {"pv=1 grid=\t2", "Solar 1 kW"},
        {"pv=1 grid=\v2", "Solar 1 kW"},
        {"\u200Bpv=1", std::nullopt},
        {"\xE2\x80pv=1", std::nullopt}};
    for (const auto& [line, label] : labels) {
        auto meaning = readLine(line);
        EXPECT_EQ(meaning ? std::optional(meaning->label) : std::nullopt, label) << line;
    }
    EXPECT_EQ(readLine("\tWaiting for equipment").value().kind, LineMeaning::Kind::waiting);
}

// IncompleteTail.ValidityTable: overlong forms, a surrogate, past U+10FFFF, U+0800, U+083F and
// a block's end; Utf8Stream.AHeldBackStartThatNeverCompletesIsDroppedAloneAndTheChunkCounts.
TEST(IncompleteTail, ValidityTableAndAHeldBackStartThatNeverCompletesIsDroppedAlone) {
    const std::string ascii(127, 'a');
    for (const std::string& text :
         {"caf\xC3\xA9"s, "\xE0\xA0\x80\xE0\xA0\xBF"s, ascii + "\xC3\xA9" + ascii}) {
        EXPECT_EQ(incompleteTail(text), 0u) << text;
    }
    for (auto text : {"\xC0\xAF", "\xE0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_EQ(incompleteTail(text), std::nullopt) << text;
    }
    EXPECT_EQ(incompleteTail(ascii + "a" + ascii + "\xFF"), std::nullopt);
    EXPECT_EQ(incompleteTail("caf\xC3"), 1u);
    EXPECT_EQ(incompleteTail(ascii + "a\xE2\x82"), 2u);
    EXPECT_EQ(incompleteTail("\xF0\x9F\x98"), 3u);
    std::tuple<const char*, const char*, std::optional<std::string_view>> cases[] = {
        {"pv=23\n\xE2", "pv=24\n", "pv=24\n"},
        {"x\xF0\x9F", "\x98", ""},             // still incomplete and valid: held on
        {"x\xE2", "\x82y\n", std::nullopt},    // completed wrongly: the rest is no character start
        {"x\xC3", "\xA9\xFF", std::nullopt}};  // completed, but the chunk itself is invalid
    for (const auto& [first, second, secondText] : cases) {
        Utf8Stream stream;
        ASSERT_TRUE(stream.decode(first)) << first;
        EXPECT_EQ(stream.decode(second), secondText) << first;
        EXPECT_EQ(stream.decode("z\n"), "z\n") << first;
    }
}

// U+0000 is a character like any other; equality in general is the fuzz target's.
TEST(AgentState, TextAfterANulStillCounts) {
    EXPECT_NE(AgentState::reading("caf\u00E9\0A"s), AgentState::reading("caf\u00E9\0B"s));
    EXPECT_NE(AgentState::reading("x\0A"s), AgentState::reading("x\0B"s));
    EXPECT_NE(AgentState::stopped("\u00E9"s), AgentState::stopped("\u00E9\0"s));
    EXPECT_EQ(AgentState::reading("\0caf\u00E9"s), AgentState::reading("\0cafe\u0301"s));
    EXPECT_NE(AgentState::reading("x"), AgentState::stopped("x"));
}

// Only a whole record counts: a strict decimal pid above 1, the start time in digits and a boot
// identifier; an older copy's bare pid names no process this run can be sure of.
TEST(PidFile, OnlyAWholeRecordOfPidStartAndBootIsRead) {
    const std::pair<const char*, std::optional<AgentIdentity>> texts[] = {
        {"  1234 77 0a1b-c2\n", AgentIdentity{1234, 77, "0a1b-c2"}},
        {"\t+42\t0 f\n", AgentIdentity{42, 0, "f"}},
        {"2147483647 1 b", AgentIdentity{2147483647, 1, "b"}},
        {"1234", std::nullopt},
        {"1234 77", std::nullopt},
        {"1234 77 b extra", std::nullopt},
        {"1234 77 B", std::nullopt},
        {"1234 -77 b", std::nullopt},
        {"1234 7x b", std::nullopt},
        {"1 77 b", std::nullopt},
        {"-5 77 b", std::nullopt},
        {"12a 77 b", std::nullopt},
        {"+-5 77 b", std::nullopt},
        {"--5 77 b", std::nullopt},
        {"2147483648 77 b", std::nullopt},
        {" \n", std::nullopt}};
    for (const auto& [text, identity] : texts) {
        EXPECT_EQ(parsePidFile(text), identity) << "pid file \"" << text << '"';
    }
    testing::TempDir dir;
    testing::writeFile(dir / "agent.pid", "old content that is longer than the record");
    const AgentIdentity agent{4321, 99, "5e-a"};
    ASSERT_TRUE(writePidFile(dir / "agent.pid", agent));
    EXPECT_EQ(readPidFile(dir / "agent.pid"), agent) << "a record written is read back";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "nothing is left beside the pid file";
    EXPECT_FALSE(writePidFile(dir / "missing/agent.pid", agent));
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testing::writeFile(dir / "large", std::string(8192, ' ') + "1234 77 b");
    std::filesystem::create_symlink(dir / "fifo", dir / "link");
    for (const char* name : {"missing/agent.pid", "folder", "fifo", "large", "link"}) {
        EXPECT_EQ(readPidFile(dir / name), std::nullopt) << "a pid file that is " << name;
    }
}

// The orphan runs a copy of the system's Python, the agent's interpreter. It is signalled only
// when the pid file names it exactly: SIGTERM first, SIGKILL only if it stays, and the pid file
// goes. A record of another start or boot (its pid since reused), a bare pid, or another program
// behind a matching record is left alone, and so is its pid file.
TEST(OrphanReaper, EndsOnlyTheProcessThePidFileNamesExactly) {
    testing::TempDir dir;
    std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, dir / "python3");
    const std::string sleep = "\nprint('ready', flush=True)\ntime.sleep(600)";
    const std::string obeys = "import time" + sleep;
    const std::string ignoresTerm =
        "import signal, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)" + sleep;
    using Record = std::function<std::string(const AgentIdentity&)>;
    auto line = [](pid_t pid, std::uint64_t start, const std::string& boot) {
        return " " + std::to_string(pid) + " " + std::to_string(start) + " " + boot + "\n";
    };
    const Record exact = [&](const AgentIdentity& it) {
        return line(it.pid, it.startTime, it.bootId);
    };
    const std::tuple<const char*, std::filesystem::path, std::string, Record, std::optional<int>>
        cases[] = {
            {"the agent itself, obeying SIGTERM", dir / "python3", obeys, exact, SIGTERM},
            {"the agent itself, ignoring SIGTERM", dir / "python3", ignoresTerm, exact, SIGKILL},
            {"another start with the same pid", dir / "python3", obeys,
             [&](const AgentIdentity& it) { return line(it.pid, it.startTime + 1, it.bootId); },
             std::nullopt},
            {"another boot with the same pid and start", dir / "python3", obeys,
             [&](const AgentIdentity& it) { return line(it.pid, it.startTime, "0ther-b00t"); },
             std::nullopt},
            {"a bare pid of an older copy", dir / "python3", obeys,
             [](const AgentIdentity& it) { return std::to_string(it.pid); }, std::nullopt},
            {"another program", "/bin/sh", "echo ready; exec sleep 600", exact, std::nullopt},
        };
    for (const auto& [behaviour, program, code, record, endedBy] : cases) {
        SCOPED_TRACE(behaviour);
        testing::RunningApp orphan(program, {"-c", code}, currentEnvironment());
        ASSERT_TRUE(orphan.waitForOutput("ready"));
        auto identity = AgentIdentity::of(orphan.pid());
        ASSERT_TRUE(identity);
        testing::writeFile(dir / "agent.pid", record(*identity));
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
    const auto log = dir / "agent.log";
    const auto older = dir / "agent.log.1";
    const std::tuple<const char*, std::string, std::string> opened[] = {
        {"a log at the limit is kept", std::string(10, 'a'), std::string(10, 'a') + "new"},
        {"a log past the limit is emptied", std::string(11, 'a'), "new"},
    };
    for (const auto& [behaviour, before, after] : opened) {
        testing::writeFile(log, before);
        AgentLog(log, 10).append("new");
        EXPECT_EQ(testing::readFile(log), after) << behaviour;
    }
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
        ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
        testing::writeFile(dir / "agent.sh", "#!/bin/sh\ncd '" + dir.path().string() + "'\n" + body,
                           true);
        AgentConfig config{dir / "agent.sh",   dir / "python",    dir / "lib",
                           dir / "agent.json", dir / "spool.db",  dir / "agent.pid",
                           dir / "agent.log",  std::move(apiBase)};
        config.grace = kGrace;
        agent = AgentProcess::create(std::move(config), mainQueue, background);
        agent->setOnState([this](const AgentState& state) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            delivered.push_back(state);
        });
        agent->start();
        EXPECT_EQ(agent->pidForTesting(), std::nullopt) << "nothing launched before the reap";
        background->runDue();  // the reap, which finds no pid file, then the launch
    }

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
    bool phaseBecomes(supervision::Phase phase) {
        return testing::eventually([&] { return agent->machineForTesting().phase == phase; });
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
    std::thread::id testThread = std::this_thread::get_id();
};

// One agent, each output piece read before the next: the contract's arguments, environment and
// descriptors; changes in order without repeats; a split character joined, a chunk not UTF-8
// dropped; last words logged before the exit counts. A child holding the pipe writes once the exit
// is handled: a drain waiting for the stream's end would never finish, one giving up would lose
// the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    run("ls /proc/self/fd > fds\nprintf '%s\\n' \"$@\" > args\nenv > env\nmkfifo go1 go2 go3 late\n"
        "echo $$ $(cut -d' ' -f6 /proc/$$/stat) > session\n"
        "piece() { printf \"$1\"; : > written$2; read x < go$2; }\n"
        "piece '\\303' 1\npiece '\\251 ok\\n' 2\npiece '\\377 bad\\n' 3\n"
        "(read x < late; echo late words) &\n"
        "printf 'Waiting to be paired\\npv=1 grid=2\\npv=1 grid=2\\nnoise\\npv=3 grid=-1\\n'\n"
        "exit 3\n",
        "http://127.0.0.1:9/api");
    ::close(leaky);
    ::unsetenv("VANTREL_API");
    for (std::string piece : {"1", "2", "3"}) {
        ASSERT_TRUE(testing::eventually([&] {
            return std::filesystem::exists(dir / ("written" + piece));
        })) << "piece "
            << piece << " written";
        ASSERT_TRUE(outputTaken()) << "piece " << piece << " read";
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
    EXPECT_EQ(nextRelaunch(), 1.0);
    EXPECT_FALSE(std::filesystem::exists(dir / "agent.pid")) << "the pid file of an ended agent";
    testing::writeFile(dir / "late", "\n");
    EXPECT_TRUE(fileBecomes("agent.log", log + "late words\n")) << read("agent.log");

    EXPECT_EQ(read("args"), "-m\nvantrel_agent\nrun\n");
    EXPECT_EQ(read("fds"), "0\n1\n2\n3\n") << "descriptors; 3 is ls's own folder";
    std::istringstream session(read("session"));
    pid_t pid = 0, leader = -1;
    session >> pid >> leader;
    EXPECT_EQ(leader, pid) << "the agent leads a session of its own, away from our terminal";
    auto at = [&](const char* name) { return (dir / name).string(); };
    for (auto entry :
         {"PYTHONHOME=" + at("python"), "PYTHONPATH=" + at("lib"), "PYTHONDONTWRITEBYTECODE=1"s,
          "PYTHONUNBUFFERED=1"s, "VANTREL_AGENT_TYPE=macos"s, "AGENT_STATE=" + at("agent.json"),
          "AGENT_SPOOL=" + at("spool.db"), "VANTREL_API=http://127.0.0.1:9/api"s}) {
        EXPECT_THAT(read("env"), ::testing::HasSubstr(entry + "\n"));
    }
    // A production build passes on what it inherits.
    EXPECT_THAT(agentEnvironment({}, {"VANTREL_API=x"}), ::testing::Contains("VANTREL_API=x"));
}

// Each exit doubles the wait up to a minute; a status line (the ninth run's) brings it back to a
// second. A restart during the wait launches at once and resets the wait; the old wait's end then
// does nothing. A launch that fails is reported and retried, doubling.
TEST_F(AgentProcessTest, EachExitWaitsLongerUpToAMinuteAndAStatusLineResetsTheWait) {
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
    ASSERT_TRUE(fileBecomes("count", "11\n")) << "the restart launches at once";
    auto running = agent->pidForTesting();
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running) << "the old wait's end launches nothing";

    std::filesystem::remove(dir / "agent.sh");
    agent->stop();
    ASSERT_TRUE(phaseBecomes(supervision::Phase::idle));
    agent->restartNow();
    background->runDue();
    EXPECT_TRUE(pumpUntilDelivered(AgentState::stopped("No such file or directory")));
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_EQ(nextRelaunch(), 2.0) << "the next wait after a failed launch";
}

// stop() sends one SIGTERM and nothing else: the agent says its last words, ends by itself and no
// relaunch follows; the pid file goes, the state stays. stopAndWait returns once it has ended.
TEST_F(AgentProcessTest, StopLetsTheAgentEndByItselfWithItsLastWordsLogged) {
    run("trap 'echo last words; exit 0' TERM\necho pv=2\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(pumpUntilDelivered(AgentState::reading("Solar 2 kW")));
    ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(dir / "agent.pid"); }));
    EXPECT_TRUE(agent->stopAndWait()) << "the agent ended within its grace";
    EXPECT_EQ(read("agent.log"), "pv=2\nlast words\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "agent.pid")) << "the pid file after the end";
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
    ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(dir / "started0"); }));
    agent->restartNow();
    background->advance(kGrace - 0.5);
    EXPECT_EQ(agent->machineForTesting().phase, supervision::Phase::ending)
        << "before the grace is over";
    background->advance(0.5);
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 9"))) << "killed after the grace";
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(dir / "started1"); }))
        << "relaunched after the restart";
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
    std::string filler(AgentProcess::kReadSize - 5, 'x');
    for (size_t end = 99; end < filler.size(); end += 100) {
        filler[end] = '\n';
    }
    filler.back() = '\n';
    testing::writeFile(dir / "full", filler + "pv=7\n");
    run("dd if=full bs=" + std::to_string(AgentProcess::kReadSize) +
        " count=1 iflag=fullblock 2>/dev/null\nexec sleep 30\n");
    EXPECT_TRUE(pumpUntilDelivered(AgentState::reading("Solar 7 kW")))
        << "the one write of a full read, then quiet";
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
              delivered.end());
}

}  // namespace
}  // namespace vantrel
