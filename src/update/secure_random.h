#pragma once

#include <cstdint>

namespace vantrel {

// A uniform 64-bit integer from the operating system's cryptographically secure source.
std::uint64_t secureRandom64();

}  // namespace vantrel
