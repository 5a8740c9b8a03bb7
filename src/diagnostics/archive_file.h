#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Where an archive may be saved, in order: the Desktop (when the desktop names one), then the
// application's support folder.
std::vector<std::filesystem::path> archiveFolders(const std::filesystem::path& desktop,
                                                  const std::filesystem::path& support);

// Writes the bytes to folder/name in the first folder that takes them (created when missing),
// replacing a file of that name; none when no folder would.
std::optional<std::filesystem::path> saveArchive(std::string_view bytes, const std::string& name,
                                                 const std::vector<std::filesystem::path>& folders);

}  // namespace vantrel
