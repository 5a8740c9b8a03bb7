#include "update/manifest_fetch.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/url.h"

namespace vantrel {
namespace {

// Handed between the waiting caller and the request's thread; an answer that comes after the
// caller has given up lands here and is never read.
struct Holder {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<std::string> body;
};

std::optional<std::string> stringAt(const nlohmann::json& object, const char* key) {
    auto entry = object.find(key);
    if (entry == object.end() || !entry->is_string()) {
        return std::nullopt;
    }
    return entry->get<std::string>();
}

std::optional<std::string> fetchBody(const HttpRequest& request, double waitSeconds) {
    auto holder = std::make_shared<Holder>();
    std::thread([holder, request] {
        HttpResult result = httpGet(request);
        std::lock_guard lock(holder->mutex);
        if (result.status == 200) {
            holder->body = std::move(result.body);
        }
        holder->done = true;
        holder->answered.notify_all();
    }).detach();
    std::unique_lock lock(holder->mutex);
    holder->answered.wait_for(lock, std::chrono::duration<double>(waitSeconds),
                              [&] { return holder->done; });
    return holder->done ? std::move(holder->body) : std::nullopt;
}

}  // namespace

HttpRequest manifestRequest(const std::string& url, const ManifestTimes& times) {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = times.request;
    request.bypassCache = true;
    request.longestBody = kLongestManifest;
    return request;
}

std::optional<Manifest> decodeManifest(const std::string& body) {
    if (body.size() > kLongestManifest) {
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    auto version = stringAt(json, "version");
    auto address = stringAt(json, "url");
    auto sha256 = stringAt(json, "sha256");
    if (!version || !address || !url::parses(*address) || !sha256) {
        return std::nullopt;
    }
    return Manifest{*version, *address, *sha256};
}

std::optional<Manifest> fetchManifest(const std::string& url, const ManifestTimes& times) {
    auto body = fetchBody(manifestRequest(url, times), times.wait);
    return body ? decodeManifest(*body) : std::nullopt;
}

}  // namespace vantrel
