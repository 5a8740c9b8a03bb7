#include "agent/utf8_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(IncompleteTail, ValidityTable) {
    struct Case {
        std::string text;
        std::optional<size_t> tail;
    } cases[] = {
        {"", 0},
        {"plain ascii text, longer than one word", 0},
        {"caf\xC3\xA9", 0},
        {"caf\xC3", 1},
        {"\xE2\x82", 2},
        {"\xF0\x9F\x98", 3},
        {"\xF0\x9F\x98\x80", 0},
        {"\xFF", std::nullopt},
        {"\x80", std::nullopt},           // a lone continuation byte
        {"\xC0\xAF", std::nullopt},       // overlong
        {"\xE0\x80", std::nullopt},       // overlong, even when incomplete
        {"\xE0\x9F\xBF", std::nullopt},   // overlong U+07FF
        {"\xE0\xA0\x80\xE0\xA0\xBF", 0},  // U+0800 and U+083F, the first of three bytes
        {"\xEF\xBF\xBF", 0},
        {"\xF0\x90\x80\x80", 0},
        {"\xF4\x8F\xBF\xBF", 0},
        {"\xED\xA0\x80", std::nullopt},      // a surrogate
        {"\xF4\x90\x80\x80", std::nullopt},  // past U+10FFFF
        {"\xC3x", std::nullopt},
        {"\xC3\xA9\xC3", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(incompleteTail(c.text), c.tail) << c.text;
    }
}

TEST(Utf8Stream, AnInvalidChunkIsDroppedWholeAndTheNextOneStillCounts) {
    Utf8Stream stream;
    EXPECT_FALSE(stream.decode("ok \xFF\xFE bad\n"));
    auto next = stream.decode("pv=1\n");
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, "pv=1\n");
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

}  // namespace
}  // namespace vantrel
