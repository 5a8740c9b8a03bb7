#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vantrel {

struct HttpRequest {
    std::string url;
    double timeoutSeconds = 60;
    bool bypassCache = false;  // ask every cache on the way for a fresh answer
    // The longest body taken (0: any); a longer one ends the transfer as it streams, as no answer.
    std::uint64_t longestBody = 0;
};

struct HttpResult {
    long status = 0;                  // 0 when no HTTP answer came (transport error, time-out)
    std::optional<std::string> body;  // absent when no answer came
};

// Blocking GET on libcurl. Never throws; only http and https, also across redirects.
HttpResult httpGet(const HttpRequest& request);

// Blocking GET streamed into a temporary file beside `destination`, which replaces it only when
// the status is 200; on any other outcome `destination` is as it was and no temporary file is left.
HttpResult httpDownload(const HttpRequest& request, const std::filesystem::path& destination);

}  // namespace vantrel
