#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Writes every byte, going on after partial writes and interruptions; false at the first error.
bool writeAll(int fd, std::string_view bytes);

// A whole file's bytes; nothing when it cannot be opened.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

}  // namespace vantrel
