#include "update/release_architecture.h"

namespace vantrel {

std::string_view thisMachineArchitecture() {
#if defined(__x86_64__)
    return "amd64";
#elif defined(__aarch64__)
    return "arm64";
#else
#error "releases are built for amd64 and arm64 only"
#endif
}

std::string architectureIn(const std::optional<nlohmann::json>& info) {
    if (!info || !info->is_object() || !info->contains(kArchitectureKey)) {
        return "amd64";
    }
    const auto& named = (*info)[kArchitectureKey];
    return named.is_string() ? named.get<std::string>() : std::string("unknown");
}

bool releaseFitsThisMachine(const std::optional<nlohmann::json>& releaseInfo,
                            std::string_view machine) {
    return architectureIn(releaseInfo) == machine;
}

}  // namespace vantrel
