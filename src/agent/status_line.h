#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/blank_space.h"

namespace vantrel {

// What one complete line of the agent's output means to the menu.
struct LineMeaning {
    enum class Kind { status, waiting };
    Kind kind;
    std::string label;  // the reading's label, for a status line
};

// Whether a line can mean anything: once trimmed, it must start with "p" or "W", so it starts
// with one of those, a space, a tab, or the lead byte of a wider space separator.
inline bool mayMatter(std::string_view line) {
    if (line.empty()) {
        return false;
    }
    switch (static_cast<unsigned char>(line[0])) {
        case 'p':
        case 'W':
        case ' ':
        case '\t':
        case 0xC2:
        case 0xE1:
        case 0xE2:
        case 0xE3:
            return true;
        default:
            return false;
    }
}

// Judges one line (without its line feed): a status line ("pv=…"), a waiting line, or nothing.
std::optional<LineMeaning> readLine(std::string_view line);

}  // namespace vantrel
