#include "support/build.h"

#include "support/bundle.h"
#include "support/url.h"

namespace vantrel {

Build Build::of(const std::optional<nlohmann::json>& info) {
    if (!info || !info->is_object()) {
        return {};
    }
    auto entry = info->find("VantrelAPIBase");
    if (entry == info->end() || !entry->is_string() ||
        entry->get_ref<const std::string&>().empty()) {
        return {};
    }
    return {entry->get<std::string>()};
}

Build Build::ofThisBundle() {
    return of(bundle::info());
}

std::string Build::apiLabel() const {
    if (!apiBase) {
        return kProductionApiHost;
    }
    auto host = url::host(*apiBase);
    return host && !host->empty() ? *host : *apiBase;
}

}  // namespace vantrel
