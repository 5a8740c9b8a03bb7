#include "update/updater.h"

#include <stdlib.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/bundle.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "update/run_tool.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LoopbackServer;
using testing::manifestJson;

constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;
const std::string kCouldNotReach = "could not reach updates.vantrel.energy";

// Installs nothing; asks for the quit the way the real installer does, on the main queue.
class FakeInstaller final : public UpdateInstaller {
  public:
    FakeInstaller(std::shared_ptr<TaskQueue> mainQueue,
                  std::shared_ptr<std::vector<std::string>> events)
        : mainQueue_(std::move(mainQueue)), events_(std::move(events)) {}

    UpdateResult install(const Manifest& manifest) override {
        manifests.push_back(manifest);
        mainQueue_->post([events = events_] { events->push_back("quit"); });
        return UpdateResult::installed(manifest.version);
    }

    std::vector<Manifest> manifests;

  private:
    std::shared_ptr<TaskQueue> mainQueue_;
    std::shared_ptr<std::vector<std::string>> events_;
};

// A variable of the process environment for the life of the object, then gone again.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { ::unsetenv(name_); }

  private:
    const char* name_;
};

class UpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("VANTREL_DIST");
        testing::writeFile(bundleRoot / "Info.json", R"({"CFBundleShortVersionString": "1.0"})");
    }
    void TearDown() override { ::unsetenv("VANTREL_DIST"); }

    std::shared_ptr<Updater> makeUpdater(Random64 random = [] { return kTwo53 / 2; }) {
        return Updater::create(mainQueue, worker, installer, bundleRoot, std::move(random));
    }

    // Starts the loopback server with a manifest and points "VANTREL_DIST" at it.
    void serve(const std::string& version) {
        server.emplace();
        server->serve("/linux/latest.json", LoopbackServer::answer(manifestJson(version)));
        ::setenv("VANTREL_DIST", server->base().c_str(), 1);
    }

    // Runs the accepted check: the run on the worker, then its completion on the main queue.
    void finishCheck() {
        // The run must never reach the built-in server from a test.
        ASSERT_NE(::getenv("VANTREL_DIST"), nullptr);
        EXPECT_EQ(worker->runDue(), 1);
        mainQueue->runDue();
    }

    Updater::Completion record(const std::string& name) {
        return [events = events, name](const UpdateResult& result) {
            events->push_back(name + ": " + result.text());
        };
    }

    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<testing::ManualQueue> worker = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>(mainQueue, events);
    testing::TempDir dir;
    std::filesystem::path bundleRoot = dir / "VantrelAgent";
    std::optional<LoopbackServer> server;
};

TEST(ManifestAddress, ATextThatFormsNoUrlGivesNoAddress) {
    EXPECT_EQ(Updater::manifestAddress("http://127.0.0.1:9/dist/"),
              "http://127.0.0.1:9/dist//linux/latest.json");
    ::unsetenv("VANTREL_DIST");
    EXPECT_EQ(Updater::manifestURL(), "https://updates.vantrel.energy/agent/linux/latest.json");
    for (const char* dist : {"", "not a url", "http://127.0.0.1:9/a b", "127.0.0.1:9"}) {
        ScopedVariable variable("VANTREL_DIST", dist);
        EXPECT_EQ(Updater::manifestURL(), std::nullopt) << dist;
    }
}

TEST_F(UpdaterTest, TheInstalledVersionIsReadAfreshFromTheBundle) {
    auto updater = makeUpdater();
    EXPECT_EQ(updater->installedVersion(), "1.0");
    for (const char* info : {R"({"CFBundleShortVersionString": 1.4})", "not json", "{}"}) {
        testing::writeFile(bundleRoot / "Info.json", info);
        EXPECT_EQ(updater->installedVersion(), "0") << info;
    }
}

// What one run ends with, and which requests it made on the way.
TEST_F(UpdaterTest, EachRunEndsInItsOutcome) {
    struct Case {
        std::string manifestVersion;
        std::string dist;  // after the server's base; a whole text when not onServer
        UpdateResult result;
        std::vector<std::string> requests;
        bool onServer = true;
    } cases[] = {
        {"2.0", "/broken", UpdateResult::failed(kCouldNotReach), {"/broken/linux/latest.json"}},
        {"2.0", "/a b", UpdateResult::failed(kCouldNotReach), {}},  // never asked for
        {"2.0", "not a url", UpdateResult::failed(kCouldNotReach), {}, false},
        {"2.0", "", UpdateResult::failed(kCouldNotReach), {}, false},
        {"2.0", "http://127.0.0.1:1", UpdateResult::failed(kCouldNotReach), {}, false},
        // A base ending in a slash asks for the doubled slash.
        {"1.0", "/", UpdateResult::current("1.0"), {"//linux/latest.json"}},
        {"1.0.0", "", UpdateResult::current("1.0"), {"/linux/latest.json"}},
        {"0.9.9", "", UpdateResult::current("1.0"), {"/linux/latest.json"}},
        {"1.0-beta", "", UpdateResult::current("1.0"), {"/linux/latest.json"}},
        {"1.0.1", "", UpdateResult::installed("1.0.1"), {"/linux/latest.json"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.manifestVersion + " at " + c.dist);
        serve(c.manifestVersion);
        server->serve("//linux/latest.json",
                      LoopbackServer::answer(manifestJson(c.manifestVersion)));
        server->serve("/broken/linux/latest.json",
                      LoopbackServer::answer(manifestJson("2.0"), 404));
        ScopedVariable variable("VANTREL_DIST", c.onServer ? server->base() + c.dist : c.dist);
        installer->manifests.clear();
        EXPECT_EQ(makeUpdater()->run(), c.result);
        EXPECT_EQ(server->requestPaths(), c.requests);
        EXPECT_EQ(installer->manifests.size(), c.result.kind() == UpdateResult::Kind::installed);
    }
    ASSERT_EQ(installer->manifests.size(), 1u);
    EXPECT_EQ(installer->manifests[0].url, "http://127.0.0.1/x");
    EXPECT_EQ(installer->manifests[0].sha256, std::string(64, 'a'));
    EXPECT_EQ(bundle::versionIn(std::nullopt), "0");  // no bundle information
}

TEST_F(UpdaterTest, APackagedCopyNeverAsksForAManifestNorInstalls) {
    serve("2.0");
    testing::writeFile(bundleRoot / "Info.json",
                       R"({"CFBundleShortVersionString": "1.0", "VantrelPackageManager": "apt"})");
    auto result = makeUpdater()->run();
    EXPECT_EQ(result.kind(), UpdateResult::Kind::failed);
    EXPECT_THAT(result.text(), ::testing::HasSubstr("package manager"));
    EXPECT_THAT(server->requestPaths(), IsEmpty());
    EXPECT_THAT(installer->manifests, IsEmpty());
}

// Root writes through permission bits, so the folder is made unwritable the honest way: a
// read-only tmpfs mounted over it in a mount namespace of this test's own, where it re-runs itself.
TEST_F(UpdaterTest, ANewerReleaseInAFolderThatCannotBeWrittenIsRefusedBeforeInstalling) {
    if (const char* readOnly = ::getenv("VANTREL_TEST_READ_ONLY_FOLDER")) {
        ASSERT_NE(::access(readOnly, W_OK), 0);
        serve("2.1");
        auto result = Updater::create(mainQueue, worker, installer,
                                      std::filesystem::path(readOnly) / "VantrelAgent")
                          ->run();
        EXPECT_EQ(result, UpdateResult::failed(reasons::cannotReplaceItself("2.1")));
        EXPECT_TRUE(result.text().starts_with(
            "2.1 is available, but this copy of the app is somewhere it cannot replace itself. "));
        EXPECT_THAT(installer->manifests, IsEmpty());
        return;
    }
    std::filesystem::create_directories(dir / "read-only");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    ScopedVariable variable("VANTREL_TEST_READ_ONLY_FOLDER", (dir / "read-only").string());
    auto result = runTool(
        "/bin/sh", {"-c",
                    "u='--mount'; [ \"$(id -u)\" = 0 ] || u='--user --map-root-user --mount'\n"
                    "unshare $u /bin/true 2>/dev/null || exit 77\n"
                    "exec unshare $u /bin/sh -c 'mount -t tmpfs -o ro tmpfs \"$0\" || exit 77; "
                    "exec \"$1\" \"$2\"' "
                    "\"$@\"",
                    "sh", (dir / "read-only").string(), bundle::executable().string(),
                    std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
    if (result.status == 77) {
        GTEST_SKIP() << "no read-only mount in a namespace here: " << result.output;
    }
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_THAT(result.output, ::testing::HasSubstr("[  PASSED  ] 1 test"));
}

// --- checks and their scheduling

TEST_F(UpdaterTest, OneCheckAtATimeAndARefusedOneNeverCallsBack) {
    ::setenv("VANTREL_DIST", "not a url", 1);
    auto updater = makeUpdater();
    updater->check(record("first"));
    updater->check(record("second"));
    EXPECT_EQ(worker->size(), 1u);
    EXPECT_EQ(worker->runDue(), 1);
    EXPECT_THAT(*events, IsEmpty());  // the completion waits for the main queue
    mainQueue->runDue();
    EXPECT_THAT(*events, ElementsAre("first: " + kCouldNotReach));
    mainQueue->advance(60);
    worker->advance(60);
    EXPECT_EQ(events->size(), 1u);
}

TEST_F(UpdaterTest, CheckingIsClearBeforeTheCompletionRuns) {
    ::setenv("VANTREL_DIST", "not a url", 1);
    auto updater = makeUpdater();
    updater->check([&](const UpdateResult&) {
        updater->check(record("again"));
        events->push_back("first");
    });
    finishCheck();
    finishCheck();
    EXPECT_THAT(*events, ElementsAre("first", "again: " + kCouldNotReach));
}

TEST_F(UpdaterTest, AnInstallingRunHasItsQuitRequestHandledBeforeTheCompletion) {
    serve("2.0");
    auto updater = makeUpdater();
    updater->check(record("completion"));
    finishCheck();
    EXPECT_THAT(*events, ElementsAre("quit", "completion: 2.0"));
}

TEST_F(UpdaterTest, TheFirstCheckComesAtTheDrawnDelayAndTheTimerEvery24HoursFromTheStart) {
    // The bits above the 54 that are kept are masked off: the draw is 2^52, half the range.
    auto updater = makeUpdater([] { return (std::uint64_t{5} << 54) | (kTwo53 / 2); });
    updater->startPeriodicChecks();
    EXPECT_EQ(mainQueue->nextDelay(), 7200.0);
    mainQueue->advance(7199.9);
    EXPECT_EQ(worker->size(), 0u);
    mainQueue->advance(0.1);
    EXPECT_EQ(worker->size(), 1u);

    ::setenv("VANTREL_DIST", "not a url", 1);
    finishCheck();
    for (double day : {86400.0, 2 * 86400.0, 3 * 86400.0}) {
        mainQueue->advance(day - 0.1 - mainQueue->now());
        EXPECT_EQ(worker->size(), 0u) << day;
        mainQueue->advance(0.1);
        EXPECT_EQ(worker->size(), 1u) << day;
        finishCheck();
    }
    EXPECT_THAT(*events, IsEmpty());
}

TEST_F(UpdaterTest, WithVantrelDistTheFirstCheckComesAfterThreeSeconds) {
    for (const char* dist : {"", "not a url"}) {
        ScopedVariable variable("VANTREL_DIST", dist);
        auto updater = makeUpdater();
        updater->startPeriodicChecks();
        EXPECT_EQ(mainQueue->nextDelay(), 3.0) << dist;
        mainQueue->advance(2.9);
        EXPECT_EQ(worker->size(), 0u);
        mainQueue->advance(0.1);
        EXPECT_EQ(worker->size(), 1u);
        finishCheck();
        mainQueue->advance(86400);  // the daily firing, not waited for
        finishCheck();
    }
}

TEST_F(UpdaterTest, AFiringDuringAMenuCheckIsSkippedAndTheMenuStillHearsBack) {
    ::setenv("VANTREL_DIST", "not a url", 1);
    auto updater = makeUpdater();
    updater->startPeriodicChecks();
    updater->check(record("menu"));
    mainQueue->advance(3);  // the first periodic check finds one running
    EXPECT_EQ(worker->size(), 1u);
    finishCheck();
    EXPECT_THAT(*events, ElementsAre("menu: " + kCouldNotReach));
    EXPECT_EQ(worker->size(), 0u);
}

TEST_F(UpdaterTest, TimersAndRunsHoldTheUpdaterWeakly) {
    serve("2.0");
    auto updater = makeUpdater();
    updater->startPeriodicChecks();
    updater->check(record("menu"));
    updater.reset();
    EXPECT_EQ(worker->runDue(), 1);
    mainQueue->advance(3 * 86400);
    EXPECT_THAT(server->requests(), IsEmpty());
    EXPECT_EQ(worker->size(), 0u);
    EXPECT_EQ(mainQueue->size(), 0u);  // the daily timer ended with its updater
    EXPECT_THAT(*events, IsEmpty());
}

}  // namespace
}  // namespace vantrel
