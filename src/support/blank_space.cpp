#include "support/blank_space.h"

namespace vantrel {
namespace {

// Length of the blank at the start of text, or 0: compared byte by byte, as this runs on every
// line the agent writes.
std::size_t blankAtStart(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.empty()) {
        return 0;
    }
    if (text[0] == ' ' || text[0] == '\t') {
        return 1;
    }
    if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) == 0xA0) {
        return 2;  // U+00A0
    }
    if (text.size() < 3) {
        return 0;
    }
    unsigned a = byte(0), b = byte(1), c = byte(2);
    bool space = (a == 0xE1 && b == 0x9A && c == 0x80) ||  // U+1680
                 (a == 0xE2 && b == 0x80 &&
                  ((c >= 0x80 && c <= 0x8A) || c == 0xAF)) ||  // U+2000–200A, U+202F
                 (a == 0xE2 && b == 0x81 && c == 0x9F) ||      // U+205F
                 (a == 0xE3 && b == 0x80 && c == 0x80);        // U+3000
    return space ? 3 : 0;
}

// Length of the blank that ends text, or 0.
std::size_t blankAtEnd(std::string_view text) {
    for (std::size_t length : {1u, 2u, 3u}) {
        if (text.size() >= length && blankAtStart(text.substr(text.size() - length)) == length) {
            return length;
        }
    }
    return 0;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
    while (std::size_t length = blankAtStart(text)) {
        text.remove_prefix(length);
    }
    while (std::size_t length = blankAtEnd(text)) {
        text.remove_suffix(length);
    }
    return text;
}

}  // namespace vantrel
