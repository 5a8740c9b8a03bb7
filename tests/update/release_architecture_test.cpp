#include <gtest/gtest.h>

#include "update/release_architecture.h"

namespace vantrel {
namespace {

// A release runs only where its Info.json names this computer's architecture; one that names
// none comes from before releases named one, all built for amd64.
TEST(ReleaseArchitecture, AReleaseFitsOnlyTheArchitectureItNames) {
    struct Case {
        const char* info;  // "": no Info.json
        const char* machine;
        bool fits;
        const char* named;
    } cases[] = {
        {R"({"VantrelArchitecture": "amd64"})", "amd64", true, "amd64"},
        {R"({"VantrelArchitecture": "arm64"})", "arm64", true, "arm64"},
        {R"({"VantrelArchitecture": "arm64"})", "amd64", false, "arm64"},
        {R"({"VantrelArchitecture": "amd64"})", "arm64", false, "amd64"},
        {R"({"CFBundleShortVersionString": "1.0"})", "amd64", true, "amd64"},
        {R"({"CFBundleShortVersionString": "1.0"})", "arm64", false, "amd64"},
        {"", "amd64", true, "amd64"},
        {"", "arm64", false, "amd64"},
        {R"({"VantrelArchitecture": "AMD64"})", "amd64", false, "AMD64"},
        {R"({"VantrelArchitecture": "x86_64"})", "amd64", false, "x86_64"},
        {R"({"VantrelArchitecture": ""})", "amd64", false, ""},
        {R"({"VantrelArchitecture": 64})", "amd64", false, "unknown"},
        {R"({"VantrelArchitecture": null})", "amd64", false, "unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.info) + " on " + c.machine);
        auto info = *c.info ? std::optional(nlohmann::json::parse(c.info)) : std::nullopt;
        EXPECT_EQ(releaseFitsThisMachine(info, c.machine), c.fits);
        EXPECT_EQ(architectureIn(info), c.named);
    }
}

TEST(ReleaseArchitecture, ThisMachineIsNamedAsDebianNamesIt) {
#if defined(__x86_64__)
    EXPECT_EQ(thisMachineArchitecture(), "amd64");
#elif defined(__aarch64__)
    EXPECT_EQ(thisMachineArchitecture(), "arm64");
#endif
}

}  // namespace
}  // namespace vantrel
