#include "diagnostics/progress_document.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

ProgressDocument document(bool running, double fraction, std::string message, std::string error,
                          std::string name = "") {
    return {running, fraction, std::move(message), std::move(error), std::move(name)};
}

// Only members of the right type count; the run's table and the fuzz target cover the rest.
TEST(ProgressDocumentTest, ReadsEachMemberByItsType) {
    const std::pair<const char*, std::optional<ProgressDocument>> cases[] = {
        {R"({"running": true, "fraction": 0.4, "message": "Reading", "error": "", "name": "a.zip"})",
         document(true, 0.4, "Reading", "", "a.zip")},
        {R"({"running": 1, "fraction": null, "message": 7, "error": false, "name": 3})",
         document(false, 0, "", "")},
        {R"({"running": "true", "fraction": "0.5", "error": "the spool is locked"})",
         document(false, 0, "", "the spool is locked")},
        {R"([{"running": true}])", std::nullopt},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(readProgressDocument(body), expected) << body;
    }
}

}  // namespace
}  // namespace vantrel
