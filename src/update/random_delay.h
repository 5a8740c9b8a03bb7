#pragma once

#include <cstdint>
#include <functional>

namespace vantrel {

using Random64 = std::function<std::uint64_t()>;

// 2^53 + 1 equally likely draws, so that a draw times 2^-53 reaches both 0 and 1.
inline constexpr std::uint64_t kDelayDrawBound = (std::uint64_t{1} << 53) + 1;
inline constexpr double kLongestFirstDelay = 14400;

// A uniform draw in [0, bound) from a source of uniform 64-bit integers, by rejection.
std::uint64_t drawBelow(std::uint64_t bound, const Random64& random);

// The first check's delay for a draw below kDelayDrawBound: 0 to 14400 seconds, both included.
double firstCheckDelay(std::uint64_t draw);

}  // namespace vantrel
