#include "agent/status_line.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

struct Case {
    const char* line;
    const char* expected;  // the label; "waiting"; or nullptr when the line means nothing
};

class StatusLineTable : public ::testing::TestWithParam<Case> {};

TEST_P(StatusLineTable, JudgesTheLine) {
    const Case& c = GetParam();
    auto meaning = readLine(c.line);
    if (!c.expected) {
        EXPECT_FALSE(meaning.has_value()) << c.line;
        return;
    }
    ASSERT_TRUE(meaning.has_value()) << c.line;
    if (std::string(c.expected) == "waiting") {
        EXPECT_EQ(meaning->kind, LineMeaning::Kind::waiting);
    } else {
        EXPECT_EQ(meaning->kind, LineMeaning::Kind::status);
        EXPECT_EQ(meaning->label, c.expected);
    }
}

// The protocol's own rows and the blanks around values; the fuzz target covers the rest.
INSTANTIATE_TEST_SUITE_P(
    Protocol, StatusLineTable,
    ::testing::Values(Case{"pv=2.5kW grid=-1.234kW", "Solar 2.5 kW \u00B7 exporting 1.23 kW"},
                      Case{"pv=2.5 grid=0.4", "Solar 2.5 kW \u00B7 importing 0.40 kW"},
                      Case{"pv=0.8 grid=n/a", "Solar 0.8 kW"},
                      Case{"pv= grid=1", "Solar ? kW \u00B7 importing 1.00 kW"},
                      Case{"grid=-1 pv=2", nullptr}, Case{"Waiting to be paired", "waiting"},
                      Case{"Waiting for equipment on the local network", "waiting"},
                      Case{"waiting to be paired", nullptr},
                      Case{"\u00A0\u2003pv=3\u3000", "Solar 3 kW"},
                      Case{"\tWaiting for equipment", "waiting"},
                      Case{"pv=1\tgrid=2", "Solar 1\tgrid=2 kW"},
                      Case{"pv=1 grid=\t2", "Solar 1 kW"}, Case{"pv=1 grid=\v2", "Solar 1 kW"},
                      Case{"Pv=1", nullptr},
                      // Exact halves go by the double's own bits, as printf rounds them.
                      Case{"pv=1 grid=0.125", "Solar 1 kW \u00B7 importing 0.12 kW"},
                      Case{"pv=1 grid=-2.675kW", "Solar 1 kW \u00B7 exporting 2.67 kW"},
                      Case{"pv=1 grid=0.00500001", "Solar 1 kW \u00B7 importing 0.01 kW"}));

TEST(Trimmed, KeepsLineBreaksOtherThanTheFeed) {
    EXPECT_EQ(trimmed(" x\r"), "x\r");
    EXPECT_EQ(trimmed("\u2000\u200A x \u205F"), "x");
    EXPECT_EQ(trimmed("\u200B"), "\u200B");          // a zero-width space is not a space separator
    EXPECT_EQ(trimmed("x\xE2\x80p"), "x\xE2\x80p");  // no space separator ends in "p"
}

}  // namespace
}  // namespace vantrel
