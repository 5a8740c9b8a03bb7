#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vantrel {

// A UUID's canonical text: 36 characters, upper-case hexadecimal in groups of 8-4-4-4-12.
// The version and variant bits of a random (version 4) UUID are set on the given bytes.
std::string canonicalUuid(std::array<std::uint8_t, 16> bytes);
// A fresh random UUID from the system's secure source.
std::string randomUuid();

// One update run's own folder: `temporary` + "vantrel-update-" + a fresh UUID.
std::filesystem::path scratchFolderPath(const std::filesystem::path& temporary);

// Removes a folder and everything in it, also read-only entries; errors are ignored.
void removeTree(const std::filesystem::path& folder);

}  // namespace vantrel
