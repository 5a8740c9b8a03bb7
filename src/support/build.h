#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel {

// The build flavour: production, or a test build that talks to another cloud API.
class Build {
  public:
    Build() = delete;

    // The host of the production cloud API; shown, never contacted by the application itself.
    static constexpr const char* kProductionApiHost = "api.vantrel.energy";

    static std::optional<std::string> apiBase();
    static bool isProduction();
    static std::string apiLabel();

    // The decisions behind the getters, on a given Info.json.
    static std::optional<std::string> apiBaseIn(const std::optional<nlohmann::json>& info);
    static std::string labelFor(const std::optional<std::string>& apiBase);
};

}  // namespace vantrel
