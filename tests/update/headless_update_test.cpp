#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "manifest_server.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The built bundle, run headless in a sandboxed home with "VANTREL_DIST" on a loopback server.
class HeadlessUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override { server.serve("/linux/latest.json", testing::manifestJson("1.0.0")); }

    // A copy of the built bundle whose Info.json names no API: a production build.
    std::filesystem::path productionBundle() {
        auto root = dir / "VantrelAgent";
        std::filesystem::copy(VANTREL_BUNDLE_DIR, root,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
        testing::writeFile(root / "Info.json", R"({"CFBundleShortVersionString": "1.0.0"})");
        return root;
    }

    // Standard error goes to `errors` when given, so that standard output shows alone.
    std::unique_ptr<testing::RunningApp> launch(const std::filesystem::path& bundle,
                                                const std::filesystem::path& errors = {}) {
        auto env = testing::sandboxedEnvironment(home.path());
        setVariable(env, "VANTREL_DIST", server.base());
        auto executable = (bundle / "bin/VantrelAgent").string();
        if (errors.empty()) {
            return std::make_unique<testing::RunningApp>(
                executable, std::vector<std::string>{"--headless"}, std::move(env));
        }
        return std::make_unique<testing::RunningApp>(
            "/bin/sh",
            std::vector<std::string>{"-c", "exec \"$0\" --headless 2>\"$1\"", executable,
                                     errors.string()},
            std::move(env));
    }

    testing::ManifestServer server;
    testing::TempDir dir;
    testing::TempDir home;
};

// The first check comes by itself; its failure is written on standard error, while standard
// output keeps only the state lines.
TEST_F(HeadlessUpdateTest, AProductionBuildChecksAndReportsAFailedCheckOnStandardError) {
    server.serve("/linux/latest.json", "gone", 404);
    auto app = launch(productionBundle(), dir / "errors");
    ASSERT_TRUE(app->waitForOutput("Starting\u2026\n")) << app->output();
    ASSERT_TRUE(testing::eventually(
        [&] {
            return testing::readFile(dir / "errors")
                       .find("the update check failed: could not reach updates.vantrel.energy\n") !=
                   std::string::npos;
        },
        30))
        << testing::readFile(dir / "errors");
    EXPECT_THAT(server.requestPaths(), ElementsAre("/linux/latest.json"));
    EXPECT_EQ(app->output().find("update"), std::string::npos) << app->output();
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0);
}

TEST_F(HeadlessUpdateTest, QuittingDoesNotWaitForARunningCheck) {
    server.serve("/linux/latest.json", testing::manifestJson("2.0"), 200, 60);
    auto app = launch(productionBundle());
    ASSERT_TRUE(testing::eventually([&] { return !server.requests().empty(); }, 30));
    app->signal(SIGTERM);
    // Well short of the check's own 20 s.
    EXPECT_EQ(app->waitForExit(15), 0) << app->output();
}

TEST_F(HeadlessUpdateTest, ATestBuildNeverChecksOnItsOwn) {
    auto app = launch(VANTREL_BUNDLE_DIR);
    ASSERT_TRUE(app->waitForOutput("Starting\u2026\n")) << app->output();
    // A production build would have asked by now (its first check comes 3 s after the start).
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_THAT(server.requests(), IsEmpty());
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0);
}

}  // namespace
}  // namespace vantrel
