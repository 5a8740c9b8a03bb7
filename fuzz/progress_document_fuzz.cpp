#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "support/offered_file_name.h"
#include "diagnostics/progress_document.h"
#include "require.h"

using vantrel::ProgressDocument;
using vantrel::readProgressDocument;
using vantrel::fuzz::require;

namespace {

nlohmann::json written(const ProgressDocument& document) {
    return {{"running", document.running},
            {"fraction", document.fraction},
            {"message", document.message},
            {"error", document.error},
            {"name", document.name}};
}

}  // namespace

// Any answer is read without throwing; only a JSON object is a document, "running" is true only
// for a JSON true, a document written back reads the same, and its name always makes a safe file
// name.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const auto document = readProgressDocument(body);
    const auto json = nlohmann::json::parse(body, nullptr, false);
    require(document.has_value() == json.is_object(), "exactly a JSON object is a document");
    if (!document) {
        return 0;
    }
    require(document->running == (json.contains("running") && json["running"] == true),
            "only a JSON true keeps the run going");
    require(!std::isnan(document->fraction), "the fraction is a number");
    if (std::isfinite(document->fraction)) {
        require(readProgressDocument(written(*document).dump()) == document,
                "a document written back reads the same");
    }
    if (!json.contains("name") || !json["name"].is_string()) {
        require(document->name.empty(), "no name string: no name");
    }
    const auto name = vantrel::offeredFileName(document->name);
    require(!name.empty() && name.front() != '.' &&
                name.find_first_of(std::string("/\0", 2)) == std::string::npos,
            "the archive's file name is one safe path component");
    return 0;
}
