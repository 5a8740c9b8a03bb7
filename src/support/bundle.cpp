#include "support/bundle.h"

#include <fstream>
#include <system_error>

namespace vantrel::bundle {

std::filesystem::path executable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("/proc/self/exe") : path;
}

std::filesystem::path root() {
    return executable().parent_path().parent_path();
}

std::filesystem::path resources() {
    return root() / "Resources";
}

std::optional<nlohmann::json> info() {
    return infoAt(root());
}

std::optional<nlohmann::json> infoAt(const std::filesystem::path& bundleRoot) {
    std::ifstream file(bundleRoot / "Info.json", std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    auto parsed = nlohmann::json::parse(file, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

std::string versionIn(const std::optional<nlohmann::json>& info) {
    if (!info || !info->is_object()) {
        return "0";
    }
    auto entry = info->find("CFBundleShortVersionString");
    return entry != info->end() && entry->is_string() ? entry->get<std::string>() : "0";
}

}  // namespace vantrel::bundle
