#include <gtest/gtest.h>

#include <vector>

#include "agent/line_splitter.h"
#include "agent/status_line.h"
#include "support/utf8_stream.h"

namespace vantrel {
namespace {

// Grid values whose printed form the digits alone cannot decide, so the general conversion
// (printf's "%.2f" of strtod's double) must write them.
TEST(StatusLine, GridValuesTheDigitsCannotDecideArePrintedAsTheirDouble) {
    const std::pair<const char*, const char*> rows[] = {
        {"pv=1 grid=1.3749999999999999", "Solar 1 kW \u00B7 importing 1.38 kW"},  // 17 digits
        {"pv=1 grid=0.125", "Solar 1 kW \u00B7 importing 0.12 kW"},  // a tie goes to the even
        {"pv=1 grid=-0", "Solar 1 kW \u00B7 importing -0.00 kW"},    // minus zero keeps its sign
    };
    for (const auto& [line, label] : rows) {
        auto meaning = readLine(line);
        EXPECT_EQ(meaning ? meaning->label : "no status", label) << line;
    }
}

// Lead bytes past F4 would start code points past U+10FFFF.
TEST(IncompleteTail, LeadBytesPastF4AreInvalid) {
    for (const char* text : {"\xF5\x80\x80\x80", "\xF7\xBF\xBF\xBF", "x\xF5\x80"}) {
        EXPECT_EQ(incompleteTail(text), std::nullopt)
            << ::testing::PrintToString(std::string(text));
    }
}

// A held-back start dropped with an invalid chunk is gone: the next chunk's continuation bytes
// do not complete it.
TEST(Utf8Stream, AHeldBackStartIsDroppedWithTheInvalidChunkAfterIt) {
    Utf8Stream stream;
    EXPECT_EQ(stream.decode("x\xE2"), "x") << "expected the start held back";
    EXPECT_EQ(stream.decode("\xFF"), std::nullopt) << "an invalid chunk is dropped";
    EXPECT_EQ(stream.decode("\x82\xAC\n"), std::nullopt) << "continuations alone are invalid";
}

std::vector<std::string> split(LineSplitter& splitter, const std::vector<const char*>& chunks) {
    std::vector<std::string> lines;
    for (const char* chunk : chunks) {
        splitter.feed(chunk, [&](std::string_view line) { lines.emplace_back(line); });
    }
    return lines;
}

// A line of exactly the cap is kept, also when it arrives in pieces; a line's end starts the next
// afresh: neither the text kept for it nor an overlong line's drop carries over.
TEST(LineSplitter, ALineEndResetsThePendingTextAndTheOverlongDrop) {
    using Lines = std::vector<std::string>;
    const std::tuple<const char*, std::vector<const char*>, Lines> rows[] = {
        {"a line of the cap in pieces", {"ab", "cd\n"}, {"abcd"}},
        {"the kept text is cleared", {"ab", "c\nd\n"}, {"abc", "d"}},
        {"an overlong drop ends with its line", {"abcdef", "\nxy\n"}, {"xy"}},
    };
    for (const auto& [step, chunks, lines] : rows) {
        LineSplitter splitter(4);
        EXPECT_EQ(split(splitter, chunks), lines) << step;
        EXPECT_EQ(splitter.pending(), "") << step;
    }
}

}  // namespace
}  // namespace vantrel
