#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The agent's archive name made safe as a file name inside the chosen folder: its last path
// component, cut at any NUL; "vantrel-diagnostics.zip" when nothing usable is left.
std::string archiveFileName(std::string_view agentName);

// Writes the bytes to folder/name in the first folder that takes them (created when missing),
// replacing a file of that name; none when no folder would.
std::optional<std::filesystem::path> saveArchive(std::string_view bytes, const std::string& name,
                                                 const std::vector<std::filesystem::path>& folders);

}  // namespace vantrel
