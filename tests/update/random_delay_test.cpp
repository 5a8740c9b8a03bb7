#include "update/random_delay.h"

#include <gtest/gtest.h>

#include <vector>

#include "update/secure_random.h"

namespace vantrel {
namespace {

constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;

// Draws scale onto the closed range of four hours; those past the bound are drawn again, not
// folded into it.
TEST(RandomDelay, DrawsOutsideTheBoundAreRejectedNotFolded) {
    EXPECT_EQ(firstCheckDelay(0), 0.0);
    EXPECT_EQ(firstCheckDelay(kTwo53), 14400.0);
    EXPECT_EQ(firstCheckDelay(kTwo53 / 4), 3600.0);
    // The mask keeps the low 54 bits; of those, only values up to 2^53 are taken.
    std::vector<std::uint64_t> script = {kTwo53 + 1, ~std::uint64_t{0},
                                         (std::uint64_t{7} << 54) | kTwo53};
    size_t next = 0;
    EXPECT_EQ(drawBelow(kDelayDrawBound, [&] { return script.at(next++); }), kTwo53);
    EXPECT_EQ(next, 3u);
}

TEST(RandomDelay, TheSecureSourceGivesDrawsWithinTheBound) {
    std::uint64_t first = drawBelow(kDelayDrawBound, secureRandom64);
    bool differs = false;
    for (int i = 0; i < 64; ++i) {
        std::uint64_t draw = drawBelow(kDelayDrawBound, secureRandom64);
        EXPECT_LT(draw, kDelayDrawBound);
        differs = differs || draw != first;
    }
    EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace vantrel
