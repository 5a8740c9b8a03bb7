#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// A uniform 64-bit integer from the operating system's cryptographically secure source.
std::uint64_t secureRandom64();

// Fills `size` bytes from that source. With no source at all, what was drawn stays, the rest as
// it was.
void fillSecureRandom(void* bytes, std::size_t size);

}  // namespace vantrel
