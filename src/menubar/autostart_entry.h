#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The desktop's autostart entry that starts this application at login, as text.

// One argument of an Exec line, quoted only when the desktop-entry rules need it.
std::string quoteExecArgument(std::string_view argument);

// The whole entry: runs `executable` with --login-item.
std::string autostartEntry(const std::filesystem::path& executable);

// The program an entry's Exec line runs (its first argument, unquoted); nothing when the entry
// has no such line or it cannot be read.
std::optional<std::string> autostartProgram(std::string_view entry);

}  // namespace vantrel
