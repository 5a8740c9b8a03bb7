#include "agent/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

std::vector<std::string> feed(LineSplitter& splitter, std::string_view text) {
    std::vector<std::string> lines;
    splitter.feed(text, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

TEST(LineSplitter, CutsAtLineFeedsAndKeepsTheUnfinishedLine) {
    LineSplitter splitter;
    EXPECT_EQ(feed(splitter, "one\ntwo\nthr"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(splitter.pending(), "thr");
    EXPECT_EQ(feed(splitter, "ee\n\nfour\r\n"), (std::vector<std::string>{"three", "", "four\r"}));
    EXPECT_EQ(splitter.pending(), "");
}

TEST(LineSplitter, LinesUpToTheCapBehaveNormally) {
    LineSplitter splitter(8);
    EXPECT_EQ(feed(splitter, "1234"), std::vector<std::string>{});
    EXPECT_EQ(feed(splitter, "5678\n"), std::vector<std::string>{"12345678"});
    EXPECT_EQ(feed(splitter, "abcdefgh\n"), std::vector<std::string>{"abcdefgh"});
}

TEST(LineSplitter, ALineBeyondTheCapIsDroppedAndTheNextOneCounts) {
    LineSplitter splitter(8);
    EXPECT_EQ(feed(splitter, "123456"), std::vector<std::string>{});
    EXPECT_EQ(feed(splitter, "789"), std::vector<std::string>{});
    EXPECT_EQ(splitter.pending(), "");
    EXPECT_EQ(feed(splitter, "more and more"), std::vector<std::string>{});
    EXPECT_EQ(feed(splitter, "end\npv=1\n"), std::vector<std::string>{"pv=1"});
    EXPECT_EQ(feed(splitter, "0123456789\nok\n"), std::vector<std::string>{"ok"});
}

TEST(LineSplitter, AnEndlessLineKeepsPendingBounded) {
    LineSplitter splitter;
    std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 100; ++i) {
        feed(splitter, chunk);
        EXPECT_LE(splitter.pending().capacity(), LineSplitter::kDefaultCap * 2);
    }
}

}  // namespace
}  // namespace vantrel
