#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>
#include <string>

#include "require.h"
#include "support/url.h"
#include "update/manifest_fetch.h"

using vantrel::decodeManifest;
using vantrel::kLongestManifest;
using vantrel::fuzz::require;

namespace {

bool sameManifest(const std::optional<vantrel::Manifest>& a,
                  const std::optional<vantrel::Manifest>& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return a->version == b->version && a->url == b->url && a->sha256 == b->sha256;
}

// Any body: decoding never throws, and white space after the document, up to the size limit,
// changes nothing, while one byte past the limit refuses it.
void checkBody(const std::string& body) {
    const auto manifest = decodeManifest(body);
    if (body.size() > kLongestManifest) {
        require(!manifest, "a body over the limit gives no manifest");
        return;
    }
    std::string padded = body + std::string(kLongestManifest - body.size(), ' ');
    require(sameManifest(decodeManifest(padded), manifest), "a body at the limit is read");
    padded.push_back(' ');
    require(!decodeManifest(padded), "a body one byte over the limit gives no manifest");
}

// Three strings written as a manifest come back as written exactly when the address parses, and
// an address that holds a NUL never parses.
void checkRoundTrip(FuzzedDataProvider& input) {
    nlohmann::json document;
    document["version"] = input.ConsumeRandomLengthString(32);
    document["url"] = input.ConsumeRandomLengthString(64);
    document["sha256"] = input.ConsumeRandomLengthString(70);
    document["notes"] = input.ConsumeRandomLengthString(16);
    const auto body = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const auto written = nlohmann::json::parse(body);
    const auto url = written["url"].get<std::string>();
    const auto manifest = decodeManifest(body);
    if (!vantrel::url::parses(url)) {
        require(!manifest, "an address that does not parse gives no manifest");
        return;
    }
    require(manifest && manifest->version == written["version"] && manifest->url == url &&
                manifest->sha256 == written["sha256"],
            "a manifest with three strings and a parsing address is read as written");
    require(url.find('\0') == std::string::npos, "an address with a NUL does not parse");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkBody(std::string(reinterpret_cast<const char*>(data), size));
    FuzzedDataProvider input(data, size);
    checkRoundTrip(input);
    return 0;
}
