#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel {

// The signed list of a release bundle's entries and its signature, relative to the bundle.
inline constexpr const char* kFileListName = "Resources/release-files.json";
inline constexpr const char* kFileListSignatureName = "Resources/release-files.json.sig";

// The bundle as its signed list describes it: {"entries": {relative path: entry}} with
// {"type": "dir"}, {"type": "file", "mode": "0555", "sha256": lower-case hex} or
// {"type": "link", "target": text}; the list and its signature are left out. Nothing when the
// bundle holds another kind of entry, an absolute link or one that leads outside it, or a file
// that cannot be read.
std::optional<nlohmann::json> describeBundle(const std::filesystem::path& bundle);

}  // namespace vantrel
