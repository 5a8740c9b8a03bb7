#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The name a download starts from: the last path component of the engine's suggestion, so that a
// suggestion such as "../x" cannot leave the folder; "vantrel-diagnostics.zip" when nothing is
// left.
std::string downloadName(const std::string& suggested);

// The names tried in order: the name itself, then base + " 2" … " 99" before the last extension
// ("archive.tar.gz" → "archive.tar 2.gz", "notes" → "notes 2").
std::vector<std::string> downloadCandidates(const std::string& name);

// The first candidate for the suggestion at which nothing exists in `folder`; none when all 99 are
// taken, since a download never replaces an existing file.
std::optional<std::filesystem::path> chooseDownloadDestination(
    const std::filesystem::path& folder, const std::string& suggested,
    const std::function<bool(const std::filesystem::path&)>& exists);

struct ReservedDownload {
    std::optional<std::filesystem::path> path;  // created empty, owned by this download
    std::string error;                          // why there is none
};

// Chooses the destination as above on the real file system and creates it empty and exclusively,
// so that a file appearing between the choice and the write is never overwritten. Creates the
// folder when it is missing.
ReservedDownload reserveDownloadDestination(const std::filesystem::path& folder,
                                            const std::string& suggested);

}  // namespace vantrel
