#include "update/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

namespace vantrel {

std::uint64_t secureRandom64() {
    std::uint64_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t filled = 0;
    // Eight bytes never come short from the pool once it is ready; a signal can still interrupt.
    while (filled < sizeof value) {
        ssize_t got = ::getrandom(bytes + filled, sizeof value - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            break;  // no source at all: whatever was drawn, at worst 0, an immediate first check
        }
    }
    return value;
}

}  // namespace vantrel
