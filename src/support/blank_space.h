#pragma once

#include <string_view>

namespace vantrel {

// White space as the agent's lines and the system tools' output are trimmed: tab and the Unicode
// space separators, never line breaks.
std::string_view trimmed(std::string_view text);

}  // namespace vantrel
