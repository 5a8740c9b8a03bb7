#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace vantrel {

// Writes a whole file that others read: to a temporary name beside it, then renamed over it.
// False when any step fails; nothing half-written is left behind.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         mode_t mode = 0644);

}  // namespace vantrel
