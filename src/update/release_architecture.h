#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vantrel {

// The Info.json key that names the machines a bundle's programs run on.
inline constexpr const char* kArchitectureKey = "VantrelArchitecture";

// The architecture this program was built for, in Debian's names: "amd64", "arm64".
std::string_view thisMachineArchitecture();

// The architecture that a bundle's Info.json names; "amd64" when it names none, since every
// release made before releases named one was built for amd64; "unknown" when it is not a text.
std::string architectureIn(const std::optional<nlohmann::json>& info);

// Whether the release whose Info.json is `releaseInfo` runs on a `machine` computer.
bool releaseFitsThisMachine(const std::optional<nlohmann::json>& releaseInfo,
                            std::string_view machine);

}  // namespace vantrel
