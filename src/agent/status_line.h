#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// What one complete line of the agent's output means to the menu.
struct LineMeaning {
    enum class Kind { status, waiting };
    Kind kind;
    std::string label;  // the reading's label, for a status line
};

// Judges one line (without its line feed): a status line ("pv=…"), a waiting line, or nothing.
std::optional<LineMeaning> readLine(std::string_view line);

// White space as the protocol trims it: tab and the Unicode space separators, not line breaks.
std::string_view trimmed(std::string_view line);

}  // namespace vantrel
