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
using Clock = std::chrono::steady_clock;

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

    std::unique_ptr<testing::RunningApp> launch(const std::filesystem::path& bundle) {
        auto env = testing::sandboxedEnvironment(home.path());
        setVariable(env, "VANTREL_DIST", server.base());
        started = Clock::now();
        return std::make_unique<testing::RunningApp>(
            bundle / "bin/VantrelAgent", std::vector<std::string>{"--headless"}, std::move(env));
    }

    double secondsSinceStart() const {
        return std::chrono::duration<double>(Clock::now() - started).count();
    }

    testing::ManifestServer server;
    testing::TempDir dir;
    testing::TempDir home;
    Clock::time_point started;
};

TEST_F(HeadlessUpdateTest, AProductionBuildChecksThreeSecondsAfterTheStart) {
    auto app = launch(productionBundle());
    ASSERT_TRUE(app->waitForOutput("Starting\u2026\n")) << app->output();
    ASSERT_TRUE(testing::eventually([&] { return !server.requests().empty(); }, 10));
    EXPECT_GT(secondsSinceStart(), 2.9);
    EXPECT_LT(secondsSinceStart(), 6.0);
    EXPECT_THAT(server.requestPaths(), ElementsAre("/linux/latest.json"));

    // Up to date: nothing is installed, nothing is shown, and the application goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(app->waitForExit(0));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HeadlessUpdateTest, QuittingDoesNotWaitForARunningCheck) {
    server.serve("/linux/latest.json", testing::manifestJson("2.0"), 200, 60);
    auto app = launch(productionBundle());
    ASSERT_TRUE(testing::eventually([&] { return !server.requests().empty(); }, 10));
    auto quitting = Clock::now();
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(5), 0) << app->output();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - quitting).count(), 3.0);
}

TEST_F(HeadlessUpdateTest, ATestBuildNeverChecksOnItsOwn) {
    auto app = launch(VANTREL_BUNDLE_DIR);
    ASSERT_TRUE(app->waitForOutput("Starting\u2026\n")) << app->output();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_THAT(server.requests(), IsEmpty());
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0);
}

}  // namespace
}  // namespace vantrel
