#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel::bundle {

// The application bundle that holds the running executable: <root>/bin/VantrelAgent.
std::filesystem::path root();
std::filesystem::path resources();
std::filesystem::path executable();

// Info.json at the bundle's root, read afresh; nothing when it is missing or not a JSON object.
std::optional<nlohmann::json> info();
// The same for the bundle at `bundleRoot`.
std::optional<nlohmann::json> infoAt(const std::filesystem::path& bundleRoot);

// The version that `info` records ("CFBundleShortVersionString"); "0", older than any release,
// when it records none.
std::string versionIn(const std::optional<nlohmann::json>& info);

}  // namespace vantrel::bundle
