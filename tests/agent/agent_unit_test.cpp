// Parsing in general is the fuzz targets'; here the protocol's rows and the faults once found.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "agent/agent_log.h"
#include "agent/agent_state.h"
#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"
#include "agent/utf8_stream.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

// Protocol/StatusLineTable: the rows the fuzz target cannot judge, as it trims with the same
// function. The blank around a line is a tab or a Unicode space separator, not a carriage return
// nor a zero-width space; a value after a tab or a vertical tab is no number.
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

// Overlong forms (even incomplete ones, up to U+07FF), a surrogate, past U+10FFFF; U+0800 and
// U+083F, the first of three bytes; characters before, across and after a block's end.
TEST(IncompleteTail, ValidityTable) {
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
}

TEST(Utf8Stream, AHeldBackStartThatNeverCompletesIsDroppedAloneAndTheChunkCounts) {
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

// U+0000 is a character like any other: what follows it still counts, with or without non-ASCII
// text around it. Equality in general is the fuzz target's.
TEST(AgentState, TextAfterANulStillCounts) {
    EXPECT_NE(AgentState::reading("caf\u00E9\0A"s), AgentState::reading("caf\u00E9\0B"s));
    EXPECT_NE(AgentState::reading("x\0A"s), AgentState::reading("x\0B"s));
    EXPECT_NE(AgentState::stopped("\u00E9"s), AgentState::stopped("\u00E9\0"s));
    EXPECT_EQ(AgentState::reading("\0caf\u00E9"s), AgentState::reading("\0cafe\u0301"s));
    EXPECT_NE(AgentState::reading("x"), AgentState::stopped("x"));
}

// The file is cut only past five million bytes; a folder made late loses only what came before.
TEST(AgentLog, TheSizeLimitAppliesOnlyPastFiveMillionBytes) {
    testing::TempDir dir;
    for (size_t size : {size_t{5'000'000}, size_t{5'000'001}}) {
        testing::writeFile(dir / "agent.log", std::string(size, 'a'));
        AgentLog(dir / "agent.log").append("new\n");
        EXPECT_EQ(testing::readFile(dir / "agent.log"),
                  size == 5'000'000 ? std::string(size, 'a') + "new\n" : "new\n");
    }
    AgentLog log(dir / "Logs/agent.log");
    log.append("lost\n");
    std::filesystem::create_directory(dir / "Logs");
    log.append("kept\n");
    log.append("and more\n");
    EXPECT_EQ(testing::readFile(dir / "Logs/agent.log"), "kept\nand more\n");
}

// Written whole in the file's place; whatever else is found there, reading it neither throws
// nor waits; only a strict decimal number above 1 counts.
TEST(PidFile, AnythingButASmallRegularFileIsIgnored) {
    std::pair<const char*, std::optional<pid_t>> texts[] = {
        {"  1234 \n", 1234},   {"\t+42\n", 42},       {"2147483647", 2147483647},
        {"1", std::nullopt},   {"-5", std::nullopt},  {"12a", std::nullopt},
        {"+-5", std::nullopt}, {"1 2", std::nullopt}, {"2147483648", std::nullopt},
        {" \n", std::nullopt}, {"+", std::nullopt}};
    for (const auto& [text, pid] : texts) {
        EXPECT_EQ(parsePidFile(text), pid) << '"' << text << '"';
    }
    testing::TempDir dir;
    testing::writeFile(dir / "agent.pid", "old content that is longer");
    ASSERT_TRUE(writePidFile(dir / "agent.pid", 4321));
    EXPECT_EQ(testing::readFile(dir / "agent.pid"), "4321");
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
}

// A copy of the system's Python serves as the agent's interpreter, so an orphaned agent is a
// process whose executable is that copy: SIGTERM first, SIGKILL only for one that stays. A
// process of another program is left alone.
TEST(OrphanReaperTest, AnAgentLeftRunningIsAskedToEndThenKilled) {
    testing::TempDir dir;
    std::filesystem::copy_file(VANTREL_SYSTEM_PYTHON, dir / "python3");
    std::filesystem::permissions(dir / "python3", std::filesystem::perms::owner_all);
    const std::string sleep = "\nprint('ready', flush=True)\ntime.sleep(600)";
    std::tuple<std::filesystem::path, std::string, std::optional<int>> cases[] = {
        {dir / "python3", "import time" + sleep, SIGTERM},
        {dir / "python3",
         "import signal, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)" + sleep, SIGKILL},
        {"/bin/sh", "echo ready; exec sleep 600", std::nullopt}};
    for (const auto& [program, code, endedBy] : cases) {
        testing::RunningApp orphan(program, {"-c", code}, currentEnvironment());
        ASSERT_TRUE(orphan.waitForOutput("ready"));
        testing::writeFile(dir / "agent.pid", " " + std::to_string(orphan.pid()) + "\n");
        reapOrphan(dir / "agent.pid", dir / "." / "python3");
        EXPECT_EQ(orphan.waitForExit(endedBy ? 15 : 0), endedBy) << code;
    }
}

}  // namespace
}  // namespace vantrel
