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
        {"\x80", std::nullopt},              // a lone continuation byte
        {"\xC0\xAF", std::nullopt},          // overlong
        {"\xE0\x80", std::nullopt},          // overlong, even when incomplete
        {"\xED\xA0\x80", std::nullopt},      // a surrogate
        {"\xF4\x90\x80\x80", std::nullopt},  // past U+10FFFF
        {"\xC3x", std::nullopt},
        {"\xC3\xA9\xC3", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(incompleteTail(c.text), c.tail) << c.text;
    }
}

TEST(Utf8Stream, ACharacterSplitAtAnyPointSurvives) {
    const std::string text = "a\xF0\x9F\x98\x80z\xE2\x82\xAC\n";
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        Utf8Stream stream;
        std::string out;
        const std::string head = text.substr(0, cut), rest = text.substr(cut);
        auto first = stream.decode(head);
        ASSERT_TRUE(first) << cut;
        out += *first;
        auto second = stream.decode(rest);
        ASSERT_TRUE(second) << cut;
        out += *second;
        EXPECT_EQ(out, text) << cut;
    }
}

TEST(Utf8Stream, AnInvalidChunkIsDroppedWholeAndTheNextOneStillCounts) {
    Utf8Stream stream;
    EXPECT_FALSE(stream.decode("ok \xFF\xFE bad\n"));
    auto next = stream.decode("pv=1\n");
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, "pv=1\n");
}

TEST(Utf8Stream, AHeldBackStartThatNeverCompletesCostsTheNextChunk) {
    Utf8Stream stream;
    EXPECT_EQ(stream.decode("x\xC3"), "x");
    EXPECT_FALSE(stream.decode("y\n"));
    EXPECT_EQ(stream.decode("z\n"), "z\n");
}

}  // namespace
}  // namespace vantrel
