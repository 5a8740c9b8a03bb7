#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

namespace vantrel {

// The pid file's content as a process id worth probing: a trimmed, strict signed 32-bit decimal
// number greater than 1.
std::optional<pid_t> parsePidFile(std::string_view text);

// Nothing when the file is missing, is not a small regular file, or holds no such number.
std::optional<pid_t> readPidFile(const std::filesystem::path& path);

// Decimal digits, no newline, replacing the file atomically; false on failure.
bool writePidFile(const std::filesystem::path& path, pid_t pid);

}  // namespace vantrel
