#pragma once

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
    friend bool operator==(const ArchiveEntry&, const ArchiveEntry&) = default;
};

// GNU tar's verbose listing with --quoting-style=c; nothing when any line is not a member
// (tar's own warnings included).
std::optional<std::vector<ArchiveEntry>> parseTarListing(std::string_view listing);

// Whether extracting the members into a fresh folder can only make regular files, folders and
// symbolic links inside it: no absolute or ".." names, no other kinds, no link whose target leaves
// the folder.
bool archiveIsSafe(const std::vector<ArchiveEntry>& entries);

}  // namespace vantrel
