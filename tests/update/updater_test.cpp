#include "update/updater.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest_server.h"
#include "support/bundle.h"
#include "support/child_process.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::manifestJson;
using testing::ManifestServer;

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
        server->serve("/linux/latest.json", manifestJson(version));
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
    std::optional<ManifestServer> server;
};

// --- the manifest's address and the installed version

TEST(ManifestAddress, TheBaseIsVantrelDistWhenPresentElseTheBuiltInServer) {
    EXPECT_EQ(Updater::manifestAddress(nullptr),
              "https://updates.vantrel.energy/agent/linux/latest.json");
    EXPECT_EQ(Updater::manifestAddress(""), "/linux/latest.json");
    EXPECT_EQ(Updater::manifestAddress("http://127.0.0.1:9/dist/"),
              "http://127.0.0.1:9/dist//linux/latest.json");
    EXPECT_EQ(Updater::manifestAddress("http://127.0.0.1:9"),
              "http://127.0.0.1:9/linux/latest.json");
}

TEST(ManifestAddress, ATextThatFormsNoUrlGivesNoAddress) {
    ::unsetenv("VANTREL_DIST");
    EXPECT_EQ(Updater::manifestURL(), "https://updates.vantrel.energy/agent/linux/latest.json");
    for (const char* dist : {"", "not a url", "http://127.0.0.1:9/a b", "127.0.0.1:9"}) {
        ScopedVariable variable("VANTREL_DIST", dist);
        EXPECT_EQ(Updater::manifestURL(), std::nullopt) << dist;
    }
    ScopedVariable variable("VANTREL_DIST", "http://127.0.0.1:9/dist");
    EXPECT_EQ(Updater::manifestURL(), "http://127.0.0.1:9/dist/linux/latest.json");
}

TEST(InstalledVersion, TheShortVersionStringWhenItIsAStringElseZero) {
    using nlohmann::json;
    EXPECT_EQ(bundle::versionIn(std::nullopt), "0");
    EXPECT_EQ(bundle::versionIn(json::object()), "0");
    EXPECT_EQ(bundle::versionIn(json{{"CFBundleShortVersionString", "1.4.2"}}), "1.4.2");
    EXPECT_EQ(bundle::versionIn(json{{"CFBundleShortVersionString", 1.4}}), "0");
    EXPECT_EQ(bundle::versionIn(json{{"CFBundleShortVersionString", nullptr}}), "0");
    EXPECT_EQ(bundle::versionIn(json{{"CFBundleShortVersionString", ""}}), "");
}

TEST_F(UpdaterTest, TheInstalledVersionIsReadAfreshFromTheBundle) {
    auto updater = makeUpdater();
    EXPECT_EQ(updater->installedVersion(), "1.0");
    testing::writeFile(bundleRoot / "Info.json", R"({"CFBundleShortVersionString": "1.1"})");
    EXPECT_EQ(updater->installedVersion(), "1.1");
    testing::writeFile(bundleRoot / "Info.json", "not json");
    EXPECT_EQ(updater->installedVersion(), "0");
    EXPECT_EQ(Updater::create(mainQueue, worker, installer)->installedVersion(),
              bundle::versionIn(bundle::info()));
}

// --- the run up to the installer

TEST_F(UpdaterTest, NoUsableManifestFailsNamingTheBuiltInServer) {
    serve("2.0");
    server->serve("/broken/linux/latest.json", manifestJson("2.0"), 404);
    auto updater = makeUpdater();
    for (std::string dist : {server->base() + "/broken", std::string("http://127.0.0.1:1"),
                             std::string(""), std::string("not a url"), server->base() + "/a b"}) {
        ScopedVariable variable("VANTREL_DIST", dist);
        EXPECT_EQ(updater->run(), UpdateResult::failed(kCouldNotReach)) << dist;
    }
    // The address with a space was never asked for: no request goes out for it.
    EXPECT_THAT(server->requestPaths(), ElementsAre("/broken/linux/latest.json"));
    EXPECT_THAT(installer->manifests, IsEmpty());
}

TEST_F(UpdaterTest, ABaseEndingInASlashAsksForTheDoubledSlash) {
    serve("1.0");
    server->serve("//linux/latest.json", manifestJson("1.0"));
    ScopedVariable variable("VANTREL_DIST", server->base() + "/");
    EXPECT_EQ(makeUpdater()->run(), UpdateResult::current("1.0"));
    EXPECT_THAT(server->requestPaths(), ElementsAre("//linux/latest.json"));
}

TEST_F(UpdaterTest, AManifestThatIsNotNewerLeavesTheCurrentVersion) {
    for (const char* version : {"1.0", "1.0.0", "0.9.9", "1.0-beta", ""}) {
        serve(version);
        EXPECT_EQ(makeUpdater()->run(), UpdateResult::current("1.0")) << version;
    }
    std::filesystem::remove(bundleRoot / "Info.json");
    serve("0");
    EXPECT_EQ(makeUpdater()->run(), UpdateResult::current("0"));
    EXPECT_THAT(installer->manifests, IsEmpty());
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

TEST_F(UpdaterTest, ANewerReleaseInAWritableFolderGoesOnToTheInstaller) {
    serve("1.0.1");
    EXPECT_EQ(makeUpdater()->run(), UpdateResult::installed("1.0.1"));
    ASSERT_EQ(installer->manifests.size(), 1u);
    EXPECT_EQ(installer->manifests[0].version, "1.0.1");
    EXPECT_EQ(installer->manifests[0].url, "http://127.0.0.1/x");
    EXPECT_EQ(installer->manifests[0].sha256, std::string(64, 'a'));
}

// Root writes through permission bits, so the folder is made unwritable the honest way: a
// read-only tmpfs mounted over it in a mount namespace of this test's own. The test re-runs itself
// inside that namespace.
TEST_F(UpdaterTest, ANewerReleaseInAFolderThatCannotBeWrittenIsRefusedBeforeInstalling) {
    if (const char* readOnly = ::getenv("VANTREL_TEST_READ_ONLY_FOLDER")) {
        ASSERT_NE(::access(readOnly, W_OK), 0);
        serve("2.1");
        auto updater = Updater::create(mainQueue, worker, installer,
                                       std::filesystem::path(readOnly) / "VantrelAgent");
        auto result = updater->run();
        EXPECT_EQ(result, UpdateResult::failed(reasons::cannotReplaceItself("2.1")));
        EXPECT_TRUE(result.text().starts_with(
            "2.1 is available, but this copy of the app is somewhere it cannot replace itself. "));
        EXPECT_THAT(installer->manifests, IsEmpty());
        return;
    }
    std::vector<std::string> unshare = {"/usr/bin/unshare", "--mount"};
    if (::geteuid() != 0) {
        unshare.insert(unshare.begin() + 1, "--user");
        unshare.insert(unshare.begin() + 2, "--map-root-user");
    }
    std::string probe;
    for (const auto& word : unshare) {
        probe += word + " ";
    }
    probe += "/bin/true";
    if (std::system((probe + " >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << "no mount namespace here: " << probe;
    }

    std::filesystem::create_directories(dir / "read-only");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    auto args = std::vector<std::string>(unshare.begin() + 1, unshare.end());
    args.insert(
        args.end(),
        {"/bin/sh", "-c", "mount -t tmpfs -o ro tmpfs \"$1\" || exit 77; exec \"$2\" \"$3\"", "sh",
         (dir / "read-only").string(), bundle::executable().string(), "--gtest_filter=" + filter});
    auto env = currentEnvironment();
    setVariable(env, "VANTREL_TEST_READ_ONLY_FOLDER", (dir / "read-only").string());
    auto output = dir / "child.out";
    UniqueFd outputFd(::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    auto started = ChildProcess::spawn({.executable = unshare[0],
                                        .arguments = args,
                                        .environment = env,
                                        .output = outputFd.get()});
    ASSERT_TRUE(started.child);
    int status = started.child->wait();
    if (status == 77) {
        GTEST_SKIP() << "tmpfs could not be mounted read-only: " << testing::readFile(output);
    }
    EXPECT_EQ(status, 0) << testing::readFile(output);
    EXPECT_THAT(testing::readFile(output), ::testing::HasSubstr("[  PASSED  ] 1 test"));
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

TEST_F(UpdaterTest, TheSecureSourceDrawsAFirstDelayWithinFourHours) {
    auto updater = Updater::create(mainQueue, worker, installer, bundleRoot);
    updater->startPeriodicChecks();
    ASSERT_TRUE(mainQueue->nextDelay());
    EXPECT_GE(*mainQueue->nextDelay(), 0.0);
    EXPECT_LE(*mainQueue->nextDelay(), 14400.0);
    EXPECT_EQ(mainQueue->size(), 2u);
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
