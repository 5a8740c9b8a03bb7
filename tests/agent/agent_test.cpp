#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/agent_process.h"
#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"
#include "agent/utf8_stream.h"
#include "support/manual_queue.h"
#include "support/running_app.h"

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

// PidFile.AnythingButASmallRegularFileIsIgnored (written whole; only a strict decimal above 1);
// OrphanReaperTest.AnAgentLeftRunningIsAskedToEndThenKilled: the agent runs a copy of the system's
// Python; SIGTERM first, SIGKILL only if it stays; another program's process is left alone.
TEST(PidFile, AnythingButASmallRegularFileIsIgnoredAndTheAgentItNamesIsAskedToEndThenKilled) {
    std::pair<const char*, std::optional<pid_t>> texts[] = {
        {"  1234 \n", 1234}, {"\t+42\n", 42}, {"2147483647", 2147483647}, {"1", {}},  {"-5", {}},
        {"12a", {}},         {"+-5", {}},     {"2147483648", {}},         {" \n", {}}};
    for (const auto& [text, pid] : texts) {
        EXPECT_EQ(parsePidFile(text), pid) << '"' << text << '"';
    }
    testing::TempDir dir;
    testing::writeFile(dir / "agent.pid", "old content that is longer");
    ASSERT_TRUE(writePidFile(dir / "agent.pid", 4321));
    EXPECT_EQ(readPidFile(dir / "agent.pid"), 4321);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_FALSE(writePidFile(dir / "missing/agent.pid", 7));
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testing::writeFile(dir / "large", std::string(8192, ' ') + "1234");
    std::filesystem::create_symlink(dir / "fifo", dir / "link");
    for (const char* name : {"missing/agent.pid", "folder", "fifo", "large", "link"}) {
        EXPECT_EQ(readPidFile(dir / name), std::nullopt) << name;
    }
    std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, dir / "python3");
    const std::string sleep = "\nprint('ready', flush=True)\ntime.sleep(600)";
    std::tuple<std::filesystem::path, std::string, std::optional<int>> cases[] = {
        {dir / "python3", "import time" + sleep, SIGTERM},
        {dir / "python3",
         "import signal, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)" + sleep, SIGKILL},
        {"/bin/sh", "echo ready; exec sleep 600", std::nullopt}};
    for (const auto& [program, code, endedBy] : cases) {
        testing::RunningApp orphan(program, {"-c", code}, currentEnvironment());
        ASSERT_TRUE(orphan.waitForOutput("ready"));
        std::string pidLine = " ";  // blank space around the number is allowed
        pidLine += std::to_string(orphan.pid()) + "\n";
        testing::writeFile(dir / "agent.pid", pidLine);
        reapOrphan(dir / "agent.pid", dir / "." / "python3");
        EXPECT_EQ(orphan.waitForExit(endedBy ? 15 : 0), endedBy) << code;
    }
}

// The agent is a shell script run in the test's folder; relaunches wait on a manual queue.
class AgentProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { agent->stop(); }

    void run(const std::string& body, std::optional<std::string> apiBase = {}) {
        ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
        testing::writeFile(dir / "agent.sh", "#!/bin/sh\ncd '" + dir.path().string() + "'\n" + body,
                           true);
        agent = AgentProcess::create(
            {dir / "agent.sh", dir / "python", dir / "lib", dir / "agent.json", dir / "spool.db",
             dir / "agent.pid", dir / "agent.log", std::move(apiBase)},
            mainQueue, background);
        agent->setOnState([this](const AgentState& state) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            delivered.push_back(state);
        });
        agent->start();
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
// dropped; last words logged (a log past 5,000,000 bytes cut first) before the exit counts. A child
// holding the pipe writes once the exit is handled: a drain waiting for the stream's end would
// never finish, one giving up would lose the late words.
TEST_F(AgentProcessTest, AChildOfTheAgentHoldingThePipeNeitherDelaysTheExitNorLosesLateOutput) {
    testing::writeFile(dir / "agent.log", std::string(5'000'001, 'a'));  // past the limit: cut
    ::setenv("VANTREL_API", "http://inherited.invalid", 1);
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    run("ls /proc/self/fd > fds\nprintf '%s\\n' \"$@\" > args\nenv > env\nmkfifo go1 go2 go3 late\n"
        "piece() { printf \"$1\"; : > written$2; read x < go$2; }\n"
        "piece '\\303' 1\npiece '\\251 ok\\n' 2\npiece '\\377 bad\\n' 3\n"
        "(read x < late; echo late words) &\n"
        "printf 'Waiting to be paired\\npv=1 grid=2\\npv=1 grid=2\\nnoise\\npv=3 grid=-1\\n'\n"
        "exit 3\n",
        "http://127.0.0.1:9/api");
    ::close(leaky);
    ::unsetenv("VANTREL_API");
    for (std::string piece : {"1", "2", "3"}) {
        ASSERT_TRUE(testing::eventually(
            [&] { return std::filesystem::exists(dir / ("written" + piece)); }));
        ASSERT_TRUE(outputTaken());
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
    EXPECT_EQ(read("agent.log"), log);
    EXPECT_EQ(nextRelaunch(), 1.0);
    testing::writeFile(dir / "late", "\n");
    EXPECT_TRUE(fileBecomes("agent.log", log + "late words\n"));

    EXPECT_EQ(read("args"), "-m\nvantrel_agent\nrun\n");
    EXPECT_EQ(read("fds"), "0\n1\n2\n3\n");  // 3: ls's own folder
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
// second; a 5,000,000-byte log is kept. A restart during the wait launches at once, resetting the
// wait, and the old check does nothing; one of a running agent ends it and relaunches it a second
// later. TheEndOfAnAgentLetGoByStopLeavesTheNewerAgentAlone: run 12 ignores SIGTERM, so stop() lets
// it go and start() launches run 13 first. A launch that fails is reported and retried, doubling.
TEST_F(AgentProcessTest, RestartNowDuringTheWaitLaunchesAtOnceAndTheOldCheckDoesNothing) {
    testing::writeFile(dir / "agent.log", std::string(5'000'000, 'a'));  // at the limit: kept
    run("n=$(cat count || echo 0)\n[ $n = 11 ] && trap '' TERM\necho $((n + 1)) > count\n"
        "[ $n = 8 ] && echo pv=1\n[ $n = 11 ] && read x < go && exit 0\n"
        "[ $n -lt 10 ] || exec sleep 30\nexit 1\n");
    std::vector<double> waits;
    for (std::optional<double> delay; waits.size() < 10 && (delay = nextRelaunch());) {
        waits.push_back(*delay);
        background->advance(waits.size() < 10 ? *delay : 0);
    }
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60, 1, 2}));
    EXPECT_EQ(read("agent.log").find_first_not_of('a'), 5'000'000u);
    ASSERT_EQ(agent->restartDelayForTesting(), 4.0);
    agent->restartNow();
    EXPECT_EQ(agent->restartDelayForTesting(), 1.0);
    ASSERT_TRUE(fileBecomes("count", "11\n"));
    auto running = agent->pidForTesting();  // the old check finds it running
    background->advance(60);
    EXPECT_EQ(agent->pidForTesting(), running);

    agent->restartNow();
    ASSERT_TRUE(pumpUntilDelivered(AgentState::stopped("exited 15")));
    EXPECT_EQ(nextRelaunch(), 1.0);
    background->advance(1);
    ASSERT_TRUE(fileBecomes("count", "12\n"));

    agent->stop();
    agent->start();
    ASSERT_TRUE(fileBecomes("count", "13\n"));
    const auto newer = agent->pidForTesting();
    const int exits = agent->exitsHandledForTesting();
    testing::writeFile(dir / "go", "\n");
    ASSERT_TRUE(testing::eventually([&] { return agent->exitsHandledForTesting() == exits + 1; }));
    EXPECT_EQ(agent->pidForTesting(), newer);
    EXPECT_EQ(agent->state(), AgentState::starting());
    EXPECT_EQ(background->size(), 0u);

    std::filesystem::remove(dir / "agent.sh");
    agent->restartNow();
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
    auto number = [](const AgentState& state) { return std::stoi(state.text().substr(6)); };
    EXPECT_EQ(std::ranges::adjacent_find(delivered, std::greater_equal<>(), number),
              delivered.end());
}

}  // namespace
}  // namespace vantrel
