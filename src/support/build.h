#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel {

// The build flavour: production, or a test build that talks to another cloud API. Read once from
// the bundle's Info.json and handed down.
struct Build {
    // The host of the production cloud API; shown, never contacted by the application itself.
    static constexpr const char* kProductionApiHost = "api.vantrel.energy";

    // The test build's API base ("VantrelAPIBase"); none in production.
    std::optional<std::string> apiBase;

    bool isProduction() const { return !apiBase; }
    // The API host the test-build line names.
    std::string apiLabel() const;

    static Build of(const std::optional<nlohmann::json>& info);
    static Build ofThisBundle();
};

}  // namespace vantrel
