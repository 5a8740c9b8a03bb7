#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/running_app.h"
#include "support/temp_dir.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

using Server = testing::LoopbackServer;

using ::testing::ElementsAre;

// The built bundle, run headless in a sandboxed home with "VANTREL_DIST" on a loopback server.
class HeadlessUpdateTest : public ::testing::Test {
  protected:
    // A copy of the built bundle whose Info.json names no API: a production build.
    std::filesystem::path productionBundle() {
        auto root = dir / "VantrelAgent";
        std::filesystem::copy(VANTREL_BUNDLE_DIR, root,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
        testing::writeFile(root / "Info.json", R"({"CFBundleShortVersionString": "1.0.0"})");
        return root;
    }

    // Standard error goes to dir/`errors`, so that standard output shows alone.
    std::unique_ptr<testing::RunningApp> launch(const std::filesystem::path& bundle,
                                                const std::string& dist, const std::string& errors,
                                                const std::filesystem::path& home) {
        auto env = testing::sandboxedEnvironment(home);
        setVariable(env, "VANTREL_DIST", server.base() + dist);
        return std::make_unique<testing::RunningApp>(
            "/bin/sh",
            std::vector<std::string>{"-c", "exec \"$0\" --headless 2>\"$1\"",
                                     (bundle / "bin/VantrelAgent").string(),
                                     (dir / errors).string()},
            std::move(env));
    }
    bool errorsSay(const std::string& errors, const std::string& text) {
        return testing::readFile(dir / errors).find(text) != std::string::npos;
    }

    testing::LoopbackServer server;
    testing::TempDir dir;
    testing::TempDir home;
};

// The first check comes by itself; its failure is written on standard error, while standard
// output keeps only the state lines. A test build started before it has never asked meanwhile.
TEST_F(HeadlessUpdateTest, AProductionBuildChecksAndReportsAFailedCheckOnStandardError) {
    server.serve("/linux/latest.json", Server::answer("gone", 404));
    server.serve("/test/linux/latest.json", Server::answer(testing::manifestJson("9.0")));
    std::filesystem::create_directory(dir / "test-home");
    std::filesystem::permissions(dir / "test-home", std::filesystem::perms::owner_all);
    auto testBuild = launch(VANTREL_BUNDLE_DIR, "/test", "test-errors", dir / "test-home");
    ASSERT_TRUE(testBuild->waitForOutput("Starting\u2026\n")) << testBuild->output();
    auto app = launch(productionBundle(), "", "errors", home.path());
    ASSERT_TRUE(app->waitForOutput("Starting\u2026\n")) << app->output();
    ASSERT_TRUE(testing::eventually(
        [&] {
            return errorsSay("errors",
                             "the update check failed: could not reach updates.vantrel.energy\n");
        },
        30))
        << testing::readFile(dir / "errors");
    EXPECT_THAT(server.requestPaths(), ElementsAre("/linux/latest.json"));
    EXPECT_EQ(app->output().find("update"), std::string::npos) << app->output();
    for (auto* running : {app.get(), testBuild.get()}) {
        running->signal(SIGTERM);
        EXPECT_EQ(running->waitForExit(), 0);
    }
}

// A check that would hang for a minute is not waited for: the application ends before it
// could report anything about it.
TEST_F(HeadlessUpdateTest, QuittingDoesNotWaitForARunningCheck) {
    server.serve("/linux/latest.json", Server::answer(testing::manifestJson("2.0"), 200, 60));
    auto app = launch(productionBundle(), "", "errors", home.path());
    ASSERT_TRUE(testing::eventually([&] { return !server.requests().empty(); }, 30));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(60), 0) << app->output();
    EXPECT_FALSE(errorsSay("errors", "the update check failed"))
        << testing::readFile(dir / "errors");
}

}  // namespace
}  // namespace vantrel
