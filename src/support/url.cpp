#include "support/url.h"

#include <curl/curl.h>

#include <memory>

namespace vantrel::url {
namespace {

struct UrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// The parser reads a C string, so an address holding a NUL would be judged by its first part
// alone; such an address is not a URL.
UrlHandle parse(const std::string& address) {
    UrlHandle handle(curl_url());
    if (!handle || address.find('\0') != std::string::npos ||
        curl_url_set(handle.get(), CURLUPART_URL, address.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK) {
        return nullptr;
    }
    return handle;
}

std::optional<std::string> part(const std::string& address, CURLUPart which) {
    auto handle = parse(address);
    if (!handle) {
        return std::nullopt;
    }
    char* text = nullptr;
    if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK || !text) {
        return std::nullopt;
    }
    std::string result(text);
    curl_free(text);
    return result;
}

}  // namespace

bool parses(const std::string& address) {
    return parse(address) != nullptr;
}
std::optional<std::string> host(const std::string& address) {
    return part(address, CURLUPART_HOST);
}
std::optional<std::string> scheme(const std::string& address) {
    return part(address, CURLUPART_SCHEME);
}

}  // namespace vantrel::url
