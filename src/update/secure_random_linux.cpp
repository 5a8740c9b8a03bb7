#include "update/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

namespace vantrel {

void fillSecureRandom(void* bytes, std::size_t size) {
    auto* out = static_cast<unsigned char*>(bytes);
    std::size_t filled = 0;
    // Short reads do not happen from a ready pool, but a signal can still interrupt.
    while (filled < size) {
        ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            break;
        }
    }
}

// With no source at all the value is at worst 0: an immediate first check.
std::uint64_t secureRandom64() {
    std::uint64_t value = 0;
    fillSecureRandom(&value, sizeof value);
    return value;
}

}  // namespace vantrel
