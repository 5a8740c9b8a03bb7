#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vantrel {

// The numbers of a dotted version: empty pieces dropped, a piece that is not a strict signed 64-bit
// decimal counts as 0 (so "1.3b" is [1, 0]).
std::vector<std::int64_t> versionNumbers(std::string_view version);

// Whether the manifest's version is newer than the installed one: the first position at which the
// numbers differ decides, a missing position counting as 0. An older manifest is simply not newer.
bool isNewerVersion(std::string_view manifestVersion, std::string_view installedVersion);

}  // namespace vantrel
