#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace vantrel {

// How far a whole-file write goes before it returns.
enum class Durability {
    // Readers see the old content or the new, whole; after a power cut either may be there.
    whole,
    // As `whole`, and the new content and its name are on disk: for what must survive a power cut
    // half way through an update.
    onDisk,
};

// Writes a whole file that others read: to "<name>.partial" beside it, then renamed over it. Each
// file has one writer at a time. False when any step fails; nothing half-written is left behind.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         Durability durability = Durability::whole, mode_t mode = 0644);

// Flushes a file or folder (a link itself, never its target) to disk.
bool syncToDisk(const std::filesystem::path& path);

}  // namespace vantrel
