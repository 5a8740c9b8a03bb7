#include "support/build.h"

#include "support/bundle.h"
#include "support/url.h"

namespace vantrel {

std::optional<std::string> Build::apiBaseIn(const std::optional<nlohmann::json>& info) {
    if (!info || !info->is_object()) {
        return std::nullopt;
    }
    auto entry = info->find("VantrelAPIBase");
    if (entry == info->end() || !entry->is_string() ||
        entry->get_ref<const std::string&>().empty()) {
        return std::nullopt;
    }
    return entry->get<std::string>();
}

std::string Build::labelFor(const std::optional<std::string>& apiBase) {
    if (!apiBase) {
        return kProductionApiHost;
    }
    auto host = url::host(*apiBase);
    return host && !host->empty() ? *host : *apiBase;
}

std::optional<std::string> Build::apiBase() {
    return apiBaseIn(bundle::info());
}
bool Build::isProduction() {
    return !apiBase().has_value();
}
std::string Build::apiLabel() {
    return labelFor(apiBase());
}

}  // namespace vantrel
