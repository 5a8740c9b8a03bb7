#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// One member of a release archive as its header describes it.
struct ArchiveEntry {
    enum class Kind { file, folder, symlink, hardlink, other };
    Kind kind = Kind::other;
    std::string name;
    std::string linkTarget;  // for links
    std::uint64_t size = 0;  // bytes a regular file takes once extracted
    unsigned mode = 0;       // permission bits
    friend bool operator==(const ArchiveEntry&, const ArchiveEntry&) = default;
};

// The most an extraction may write: past these an archive is refused before anything is written,
// so a small download cannot fill the disk.
struct ArchiveLimits {
    std::uint64_t bytes = std::uint64_t{1} << 30;
    std::size_t entries = 20000;
};

// A member's path inside the folder `top` (empty and "." parts dropped, so "top/a/" is {"a"});
// nothing for an absolute name, one that climbs with "..", or one outside `top`.
std::optional<std::vector<std::string>> pathInside(std::string_view name, std::string_view top);

// Whether writing the members of `top` into a fresh folder can only make regular files, folders
// and symbolic links inside it: every name inside `top` and listed once, no other kinds, no member
// reached through a link, and no link that resolves outside the folder, following the archive's
// other links.
bool archiveIsSafe(const std::vector<ArchiveEntry>& entries, std::string_view top,
                   const ArchiveLimits& limits = {});

}  // namespace vantrel
