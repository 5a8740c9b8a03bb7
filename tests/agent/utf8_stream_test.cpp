#include "agent/utf8_stream.h"

#include "agent/line_splitter.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(IncompleteTail, ValidityTable) {
    struct Case {
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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(incompleteTail(c.text), c.tail) << c.text;
    }
}

TEST(Utf8Stream, AHeldBackStartThatNeverCompletesIsDroppedAloneAndTheChunkCounts) {
    struct Case {
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
        auto second = stream.decode(c.second);
        ASSERT_EQ(second.has_value(), c.secondText.has_value()) << c.first;
        if (second) {
            EXPECT_EQ(*second, *c.secondText) << c.first;
        }
        EXPECT_EQ(stream.decode("z\n"), "z\n") << c.first;
    }
}

// Lines and their cap under any chunking are the fuzz target's; here the memory an endless line
// may hold at the default cap.
TEST(LineSplitter, AnEndlessLineKeepsPendingBounded) {
    LineSplitter splitter;
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 100; ++i) {
        splitter.feed(chunk, [](std::string_view line) { ADD_FAILURE() << line.size(); });
        EXPECT_LE(splitter.pending().capacity(), LineSplitter::kDefaultCap * 2);
    }
    std::vector<std::string> lines;
    splitter.feed("\npv=1\n", [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, std::vector<std::string>{"pv=1"});
}

}  // namespace
}  // namespace vantrel
