#pragma once

#include <algorithm>
#include <chrono>

namespace vantrel {

// Seconds as the queues take them, clamped so that a huge or negative delay cannot overflow.
inline std::chrono::steady_clock::duration toDuration(double seconds) {
    constexpr double kLongest = 100.0 * 365 * 24 * 3600;
    double clamped = std::clamp(seconds, 0.0, kLongest);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(clamped));
}

}  // namespace vantrel
