#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "support/http_client.h"
#include "update/manifest.h"

namespace vantrel {

struct ManifestTimes {
    double request = 20;  // the request's own time-out
    double wait = 30;     // the longest the caller waits, whatever the HTTP client does
};

// A manifest is a few hundred bytes; a longer answer is not one.
inline constexpr std::size_t kLongestManifest = 64 * 1024;

// A fresh GET: no cached answer, the request time-out of `times`.
HttpRequest manifestRequest(const std::string& url, const ManifestTimes& times = {});

// A JSON object with the strings "version", "url" (which parses as a URL) and "sha256"; other keys
// are ignored and the strings are taken as they are.
std::optional<Manifest> decodeManifest(const std::string& body);

// Blocking: fetches and decodes the manifest at `url`. Only an answer with status 200 counts;
// every failure is the same nothing.
std::optional<Manifest> fetchManifest(const std::string& url, const ManifestTimes& times = {});

}  // namespace vantrel
