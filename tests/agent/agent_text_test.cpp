// The agent's text: decoding, lines, the status-line reader and the state's equality. Parsing
// in general is the fuzz targets'; here the protocol's rows and the faults once found.
#include <gtest/gtest.h>

#include "agent/agent_state.h"
#include "agent/line_splitter.h"
#include "agent/status_line.h"
#include "agent/utf8_stream.h"

namespace vantrel {
namespace {

using namespace std::string_literals;

struct Case {
    const char* line;
    const char* expected;  // the label; "waiting"; or nullptr when the line means nothing
};

class StatusLineTable : public ::testing::TestWithParam<Case> {};

TEST_P(StatusLineTable, JudgesTheLine) {
    const Case& c = GetParam();
    auto meaning = readLine(c.line);
    ASSERT_EQ(meaning.has_value(), c.expected != nullptr) << c.line;
    if (meaning) {
        bool waiting = std::string(c.expected) == "waiting";
        EXPECT_EQ(meaning->kind, waiting ? LineMeaning::Kind::waiting : LineMeaning::Kind::status);
        EXPECT_EQ(meaning->label, waiting ? "" : c.expected);
    }
}

// Tab and vertical tab rows: only a value that starts with a digit or sign is a number.
INSTANTIATE_TEST_SUITE_P(
    Protocol, StatusLineTable,
    ::testing::Values(Case{"pv=2.5kW grid=-1.234kW", "Solar 2.5 kW \u00B7 exporting 1.23 kW"},
                      Case{"pv=2.5 grid=0.4", "Solar 2.5 kW \u00B7 importing 0.40 kW"},
                      Case{"pv=0.8 grid=n/a", "Solar 0.8 kW"},
                      Case{"pv= grid=1", "Solar ? kW \u00B7 importing 1.00 kW"},
                      Case{"grid=-1 pv=2", nullptr}, Case{"Waiting to be paired", "waiting"},
                      Case{"Waiting for equipment on the local network", "waiting"},
                      Case{"waiting to be paired", nullptr}, Case{"Pv=1", nullptr},
                      Case{"\u00A0\u2003pv=3\u3000", "Solar 3 kW"},
                      Case{"\tWaiting for equipment", "waiting"},
                      Case{"pv=1\tgrid=2", "Solar 1\tgrid=2 kW"},
                      Case{"pv=1 grid=\t2", "Solar 1 kW"}, Case{"pv=1 grid=\v2", "Solar 1 kW"},
                      // Exact halves go by the double's own bits, as printf rounds them.
                      Case{"pv=1 grid=0.125", "Solar 1 kW \u00B7 importing 0.12 kW"},
                      Case{"pv=1 grid=-2.675kW", "Solar 1 kW \u00B7 exporting 2.67 kW"},
                      Case{"pv=1 grid=0.00500001", "Solar 1 kW \u00B7 importing 0.01 kW"}));

TEST(Trimmed, KeepsLineBreaksOtherThanTheFeed) {
    EXPECT_EQ(trimmed(" x\r"), "x\r");
    EXPECT_EQ(trimmed("\u2000\u200A x \u205F"), "x");
    EXPECT_EQ(trimmed("\u200B"), "\u200B");          // a zero-width space is not a space separator
    EXPECT_EQ(trimmed("x\xE2\x80p"), "x\xE2\x80p");  // nor is E2 80 before an ASCII byte
}

TEST(IncompleteTail, ValidityTable) {
    const std::string ascii(127, 'a');
    struct {
        std::string text;
        std::optional<size_t> tail;
    } cases[] = {
        {"caf\xC3\xA9", 0},
        {"caf\xC3", 1},
        {"\xF0\x9F\x98", 3},
        {"\xC0\xAF", std::nullopt},          // overlong
        {"\xE0\x80", std::nullopt},          // overlong, even when incomplete
        {"\xE0\x9F\xBF", std::nullopt},      // overlong U+07FF
        {"\xE0\xA0\x80\xE0\xA0\xBF", 0},     // U+0800 and U+083F, the first of three bytes
        {"\xED\xA0\x80", std::nullopt},      // a surrogate
        {"\xF4\x90\x80\x80", std::nullopt},  // past U+10FFFF
        {ascii + "\xC3\xA9" + ascii, 0},     // a character across a block's end
        {ascii + "a" + ascii + "\xFF", std::nullopt},
        {ascii + "a\xE2\x82", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(incompleteTail(c.text), c.tail) << c.text;
    }
}

TEST(Utf8Stream, AHeldBackStartThatNeverCompletesIsDroppedAloneAndTheChunkCounts) {
    struct {
        const char* first;
        const char* second;
        std::optional<std::string> secondText;
    } cases[] = {
        {"pv=23\n\xE2", "pv=24\n", "pv=24\n"},
        {"x\xF0\x9F", "\x98", ""},            // still incomplete and valid: held on
        {"x\xE2", "\x82y\n", std::nullopt},   // completed wrongly: the rest is no character start
        {"x\xC3", "\xA9\xFF", std::nullopt},  // completed, but the chunk itself is invalid
    };
    for (const auto& c : cases) {
        Utf8Stream stream;
        ASSERT_TRUE(stream.decode(c.first)) << c.first;
        EXPECT_EQ(stream.decode(c.second), c.secondText) << c.first;
        EXPECT_EQ(stream.decode("z\n"), "z\n") << c.first;
    }
}

// Lines under any chunking are the fuzz target's; here the memory an endless line may hold.
TEST(LineSplitter, AnEndlessLineKeepsPendingBounded) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    auto collect = [&](std::string_view line) { lines.emplace_back(line); };
    for (int i = 0; i < 100; ++i) {
        splitter.feed(std::string(64 * 1024, 'x'), collect);
        EXPECT_LE(splitter.pending().capacity(), LineSplitter::kDefaultCap * 2);
    }
    splitter.feed("\npv=1\n", collect);
    EXPECT_EQ(lines, std::vector<std::string>{"pv=1"});
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

}  // namespace
}  // namespace vantrel
