#include "diagnostics/progress_document.h"

#include <nlohmann/json.hpp>

namespace vantrel {

std::optional<ProgressDocument> readProgressDocument(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    ProgressDocument document;
    const auto member = [&](const char* key) {
        const auto found = json.find(key);
        return found == json.end() ? nlohmann::json() : *found;
    };
    document.running = member("running") == true;
    if (const auto fraction = member("fraction"); fraction.is_number()) {
        document.fraction = fraction.get<double>();
    }
    if (const auto message = member("message"); message.is_string()) {
        document.message = message.get<std::string>();
    }
    if (const auto error = member("error"); error.is_string()) {
        document.error = error.get<std::string>();
    }
    if (const auto name = member("name"); name.is_string()) {
        document.name = name.get<std::string>();
    }
    return document;
}

}  // namespace vantrel
