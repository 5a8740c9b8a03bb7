#include "update/random_delay.h"

#include <bit>

namespace vantrel {

std::uint64_t drawBelow(std::uint64_t bound, const Random64& random) {
    // Masking to the bound's bit width keeps at least half of the draws, without modulo bias.
    std::uint64_t mask = std::bit_ceil(bound) - 1;
    for (;;) {
        std::uint64_t value = random() & mask;
        if (value < bound) {
            return value;
        }
    }
}

double firstCheckDelay(std::uint64_t draw) {
    return static_cast<double>(draw) * 0x1p-53 * kLongestFirstDelay;
}

}  // namespace vantrel
