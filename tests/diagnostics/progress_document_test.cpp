#include "diagnostics/progress_document.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

ProgressDocument document(bool running, double fraction, std::string message, std::string error,
                          std::string name = "") {
    return {running, fraction, std::move(message), std::move(error), std::move(name)};
}

TEST(ProgressDocumentTest, ReadsEachMemberByItsType) {
    struct Case {
        const char* body;
        std::optional<ProgressDocument> expected;
    };
    const Case cases[] = {
        {R"({"running": true, "fraction": 0.4, "message": "Reading the log", "error": "",
             "name": ""})",
         document(true, 0.4, "Reading the log", "", "")},
        {R"({"running": true, "fraction": 0.2})", document(true, 0.2, "", "")},
        {R"({"running": false, "fraction": 1, "message": "Done", "error": "",
             "name": "vantrel-diagnostics-20261206-101500.zip"})",
         document(false, 1, "Done", "", "vantrel-diagnostics-20261206-101500.zip")},
        {R"({"fraction": 0.6, "message": "Listening"})", document(false, 0.6, "Listening", "")},
        {R"({"running": "true", "fraction": "0.5"})", document(false, 0, "", "")},
        {R"({"running": 1, "fraction": null, "message": 7, "error": false, "name": 3})",
         document(false, 0, "", "")},
        {R"({"running": false, "error": "the spool is locked", "name": null})",
         document(false, 0, "", "the spool is locked")},
        {R"({"running": true, "extra": [1, 2], "Running": false})", document(true, 0, "", "")},
        {R"({})", document(false, 0, "", "")},
        {R"([{"running": true}])", std::nullopt},
        {R"("running")", std::nullopt},
        {"null", std::nullopt},
        {"Internal Server Error", std::nullopt},
        {R"({"running": true,)", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readProgressDocument(c.body), c.expected) << c.body;
    }
}

}  // namespace
}  // namespace vantrel
