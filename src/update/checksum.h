#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The file's SHA-256 as 64 lower-case hexadecimal digits, computed here rather than by a tool
// that a fresh system may lack; nothing when the file cannot be read.
std::optional<std::string> sha256OfFile(const std::filesystem::path& file);

// Whether the file's digest equals `expected`, character for character (upper case never does).
bool checksumMatches(const std::filesystem::path& file, std::string_view expected);

}  // namespace vantrel
