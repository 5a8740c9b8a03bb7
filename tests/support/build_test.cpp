#include "support/build.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(Build, FlavourAndLabelFromInfo) {
    using nlohmann::json;
    struct Case {
        std::optional<json> info;
        std::optional<std::string> apiBase;
        std::string label;
    } cases[] = {
        {std::nullopt, std::nullopt, Build::kProductionApiHost},
        {json::object(), std::nullopt, Build::kProductionApiHost},
        {json{{"VantrelAPIBase", ""}}, std::nullopt, Build::kProductionApiHost},
        {json{{"VantrelAPIBase", 42}}, std::nullopt, Build::kProductionApiHost},
        {json{{"VantrelAPIBase", json::array({"x"})}}, std::nullopt, Build::kProductionApiHost},
        {json{{"VantrelAPIBase", "https://staging.example.test:8443/v2/api"}},
         "https://staging.example.test:8443/v2/api", "staging.example.test"},
        {json{{"VantrelAPIBase", "staging"}}, "staging", "staging"},
        {json{{"VantrelAPIBase", "file:///no/host"}}, "file:///no/host", "file:///no/host"},
        {json{{"VantrelAPIBase", "http://127.0.0.1:8790/api"}}, "http://127.0.0.1:8790/api",
         "127.0.0.1"},
    };
    for (const auto& c : cases) {
        auto apiBase = Build::apiBaseIn(c.info);
        EXPECT_EQ(apiBase, c.apiBase) << (c.info ? c.info->dump() : "none");
        EXPECT_EQ(Build::labelFor(apiBase), c.label) << (c.info ? c.info->dump() : "none");
    }
}

}  // namespace
}  // namespace vantrel
