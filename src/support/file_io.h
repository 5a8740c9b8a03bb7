#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Writes every byte, going on after partial writes and interruptions; false at the first error.
bool writeAll(int fd, std::string_view bytes);

// A whole regular file's bytes; nothing when it cannot be opened or read, is anything but a
// regular file (a folder, a FIFO, a device), or holds more than `limit` bytes. Never throws and
// never waits for a writer.
std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         size_t limit = 64 * 1024 * 1024);

}  // namespace vantrel
