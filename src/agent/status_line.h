#pragma once

#include <array>
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
    static constexpr auto starts = [] {
        std::array<bool, 256> table{};
        for (unsigned char c : {'p', 'W', ' ', '\t', '\xC2', '\xE1', '\xE2', '\xE3'}) {
            table[c] = true;
        }
        return table;
    }();
    return !line.empty() && starts[static_cast<unsigned char>(line[0])];
}

// Judges one line (without its line feed): a status line ("pv=…"), a waiting line, or nothing.
std::optional<LineMeaning> readLine(std::string_view line);

}  // namespace vantrel
