#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// One member of a release archive as tar lists it.
struct ArchiveEntry {
    char type = 0;           // the first letter of tar's mode column: '-', 'd', 'l', 'h', 'c' …
    std::string name;        // unquoted
    std::string linkTarget;  // for links, unquoted
    std::uint64_t size = 0;  // bytes a regular file takes once extracted
    friend bool operator==(const ArchiveEntry&, const ArchiveEntry&) = default;
};

// GNU tar's verbose listing with --quoting-style=c; nothing when any line is not a member
// (tar's own warnings included).
std::optional<std::vector<ArchiveEntry>> parseTarListing(std::string_view listing);

// The most an extraction may write: past these an archive is refused before anything is written,
// so a small download cannot fill the disk.
struct ArchiveLimits {
    std::uint64_t bytes = std::uint64_t{1} << 30;
    std::size_t entries = 20000;
};

// Whether extracting the members into a fresh folder can only make regular files, folders and
// symbolic links inside it. Each member is judged by the path tar really creates (trailing
// slashes and "." dropped): no absolute or ".." names, no other kinds, no member reached through
// a link, and no link that resolves outside the folder, following the archive's other links.
bool archiveIsSafe(const std::vector<ArchiveEntry>& entries, const ArchiveLimits& limits = {});

}  // namespace vantrel
