#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The names tried in order: the name itself, then base + " 2" … " 99" before the last extension
// ("archive.tar.gz" → "archive.tar 2.gz", "notes" → "notes 2").
std::vector<std::string> downloadCandidates(const std::string& name);

struct ReservedDownload {
    std::optional<std::filesystem::path> path;  // created empty, owned by this download
    std::string error;                          // why there is none
};

// The first candidate for the suggested name (made safe by offeredFileName) at which nothing
// exists in `folder`, created there empty and exclusively, so that a file appearing between the
// choice and the write is never overwritten; none when all 99 are taken, since a download never
// replaces an existing file. Creates the folder when it is missing.
ReservedDownload reserveDownloadDestination(const std::filesystem::path& folder,
                                            const std::string& suggested);

}  // namespace vantrel
