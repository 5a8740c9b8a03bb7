#include "update/updater.h"

#include <stdlib.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/manual_queue.h"
#include "update/random_delay.h"
#include "update/release_installer.h"
#include "update/update_fixture.h"
#include "update/version.h"

namespace vantrel {
namespace {

using ::testing::ElementsAre;
using testing::kManifestPath;
using testing::manifestJson;

constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;

// Installs nothing; asks for the quit the way the real installer does, on the main queue.
struct FakeInstaller final : UpdateInstaller {
    FakeInstaller(std::shared_ptr<TaskQueue> queue, std::shared_ptr<std::vector<std::string>> log)
        : mainQueue(std::move(queue)), events(std::move(log)) {}
    UpdateResult install(const Manifest& manifest) override {
        ++installs;
        mainQueue->post([events = events] { events->push_back("quit"); });
        return UpdateResult::installed(manifest.version);
    }
    std::shared_ptr<TaskQueue> mainQueue;
    std::shared_ptr<std::vector<std::string>> events;
    int installs = 0;
};

class UpdaterTest : public ::testing::Test {
  protected:
    UpdaterTest() {
        server.serve(kManifestPath, {{"body", manifestJson("2.0")}});
        testing::writeFile(bundleRoot / "Info.json", R"({"CFBundleShortVersionString": "1.0"})");
    }

    std::shared_ptr<Updater> makeUpdater(Random64 random = [] { return kTwo53 / 2; }) {
        return Updater::create(mainQueue, worker, installer, updateServer, bundleRoot,
                               std::move(random));
    }
    Updater::Completion record(const std::string& name) {
        return [events = events, name](const UpdateResult& result) {
            events->push_back(name + ": " + result.text());
        };
    }

    testing::LoopbackServer server;
    std::shared_ptr<testing::ManualQueue> mainQueue = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<testing::ManualQueue> worker = std::make_shared<testing::ManualQueue>();
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>(mainQueue, events);
    testing::TempDir dir;
    std::filesystem::path bundleRoot = dir / "VantrelAgent";
    // Another update server, as "VANTREL_DIST" names it; "not a url" by default, so that no run
    // ever reaches the built-in server from a test.
    std::optional<std::string> updateServer = "not a url";
};

// What one run ends with, and which requests it made. A "VANTREL_DIST" that forms no URL, even
// empty, is unreachable: never the built-in server.
TEST_F(UpdaterTest, EachRunEndsInItsOutcome) {
    ASSERT_NE(::access("/proc/self", W_OK), 0) << "expected a folder that cannot be written";
    const std::string numeric = R"({"CFBundleShortVersionString": 1.4})";
    const std::string packaged =
        R"({"CFBundleShortVersionString": "1.0", "VantrelPackageManager": "apt"})";
    const auto unwritable = UpdateResult::failed(reasons::cannotReplaceItself("2.0"));
    const auto unreachable = UpdateResult::failed("could not reach updates.vantrel.energy");
    struct Case {
        const char* what;
        std::string manifestVersion;
        std::string dist;  // after the server's base; a whole text when not onServer
        UpdateResult result;
        std::vector<std::string> requests;
        bool onServer = true;
        // "": the bundle's folder cannot be written; "missing": the bundle itself is missing (and
        // so cannot be written) in a folder that can, which is all the swap needs.
        std::string info = R"({"CFBundleShortVersionString": "1.0"})";
    } cases[] = {
        // clang-format off
        {"an address that is no URL is never asked for", "2.0", "/a b", unreachable, {}},
        {"an empty address is no URL", "2.0", "", unreachable, {}, false},
        {"a packaged copy reads the manifest and only says what is newer",
         "2.0", "", UpdateResult::available("2.0"), {kManifestPath}, true, packaged},
        {"a packaged copy with nothing newer is current",
         "1.0", "", UpdateResult::current("1.0"), {kManifestPath}, true, packaged},
        {"a newer release in a folder that cannot be written is refused before installing",
         "2.0", "", unwritable, {kManifestPath}, true, ""},
        {"the same version is current", "1.0", "/", UpdateResult::current("1.0"), {"/" + kManifestPath}},
        {"a newer version is installed", "1.0.1", "", UpdateResult::installed("1.0.1"), {kManifestPath}},
        {"the installed version is read afresh; unreadable, it is 0",
         "0.1", "", UpdateResult::installed("0.1"), {kManifestPath}, true, "not json"},
        {"an installed version of another type is 0",
         "0.1", "", UpdateResult::installed("0.1"), {kManifestPath}, true, numeric},
        {"only the bundle's folder need be writable",
         "0.1", "", UpdateResult::installed("0.1"), {kManifestPath}, true, "missing"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& path : {kManifestPath, "/" + kManifestPath}) {
            server.serve(path, {{"body", manifestJson(c.manifestVersion)}});
        }
        updateServer = c.onServer ? server.base() + c.dist : c.dist;
        bundleRoot = c.info.empty()        ? "/proc/self/VantrelAgent"
                     : c.info == "missing" ? dir / "Missing"
                                           : dir / "VantrelAgent";
        if (!c.info.empty() && c.info != "missing") {
            testing::writeFile(bundleRoot / "Info.json", c.info);
        }
        installer->installs = 0;
        auto asked = server.requests().size();
        auto result = makeUpdater()->run();
        EXPECT_EQ(
            std::tuple(result, server.requestPaths(asked), installer->installs),
            std::tuple(c.result, c.requests, c.result.kind() == UpdateResult::Kind::installed))
            << "the result, the requests and the installs";
    }
}

// A second check while one runs is refused and never calls back; the first is clear again before
// its completion runs, so the completion may start the next; a quit request goes first.
TEST_F(UpdaterTest, OneCheckAtATimeClearBeforeItsCompletion) {
    updateServer = server.base();
    auto updater = makeUpdater();
    updater->check([&](const UpdateResult& result) {
        updater->check(record("again"));
        events->push_back("first: " + result.text());
    });
    updater->check(record("refused"));
    EXPECT_EQ(worker->size(), 1u);
    EXPECT_EQ(worker->runDue(), 1);
    EXPECT_TRUE(events->empty()) << "expected the quit and the completion left to the main queue";
    mainQueue->runDue();
    EXPECT_EQ(worker->runDue(), 1) << "expected the check the first one's completion started";
    mainQueue->runDue();
    mainQueue->advance(60);
    worker->advance(60);
    EXPECT_THAT(*events, ElementsAre("quit", "first: 2.0", "quit", "again: 2.0"));
}

// The first check at the drawn delay (3 s with "VANTREL_DIST"), then every 24 hours.
TEST_F(UpdaterTest, TheFirstCheckComesAtTheDrawnDelayAndTheTimerEvery24HoursFromTheStart) {
    updateServer = std::nullopt;
    // The bits above the 54 that are kept are masked off: the draw is 2^52, half the range.
    auto updater = makeUpdater([] { return (std::uint64_t{5} << 54) | (kTwo53 / 2); });
    updater->startPeriodicChecks();
    updater->setServerForTesting("not a url");  // the run must never reach the built-in server
    for (double at : {7200.0, 86400.0, 2 * 86400.0}) {
        mainQueue->advance(at - 0.1 - mainQueue->now());
        EXPECT_EQ(worker->size(), 0u) << "expected no check just before " << at << " s";
        mainQueue->advance(0.1);
        EXPECT_EQ(worker->runDue(), 1) << "expected a check at " << at << " s";
        mainQueue->runDue();
    }
    updateServer = "";
    makeUpdater()->startPeriodicChecks();
    EXPECT_EQ(mainQueue->nextDelay(), 3.0) << "expected 3 s with VANTREL_DIST";
    updater.reset();  // the timers hold their updaters weakly and end with them
    mainQueue->advance(3 * 86400);
    EXPECT_EQ(worker->size() + mainQueue->size(), 0u) << "expected nothing left once it ends";
}

// The rest is fuzzed, strings of any content included.
TEST(DecodeManifest, AVersionMustBeAString) {
    EXPECT_FALSE(decodeManifest(R"({"version": 1.2, "url": "http://h/x", "sha256": "aa"})"));
}

using FetchFromServer = UpdaterTest;

// Over HTTP alone (redirects included), only an answer of status 200 within the limit, cut off as
// it streams: the manifest decoded from a fresh request, the release kept whole or not at all.
TEST_F(FetchFromServer, OnlyAnAnswerOfStatus200WithinTheLimitIsTaken) {
    testing::writeFile(dir / "latest.json", manifestJson("3.0"));
    auto padded = [](size_t size) {
        std::string body = manifestJson("2.0", "http://h/a.tgz");
        return body.insert(body.size() - 1, std::string(size - body.size(), ' '));
    };
    server.serve("/m", {{"body", padded(kLongestManifest)}});
    server.serve("/too-long", {{"body", padded(kLongestManifest + 1)}});
    server.serve("/moved", {{"status", 302}, {"location", server.base() + "/m"}});
    server.serve("/to-file",
                 {{"status", 302}, {"location", "file://" + (dir / "latest.json").string()}});
    server.serve("/endless", {{"endless", true}});
    for (auto [path, status] : {std::pair{"/201", 201}, {"/206", 206}, {"/404", 404}}) {
        server.serve(path, {{"status", status}, {"body", padded(kLongestManifest)}});
    }
    testing::TempDir downloads;
    for (std::string path :
         {"/m", "/moved", "/too-long", "/201", "/206", "/404", "/to-file", "/endless"}) {
        bool taken = path == "/m" || path == "/moved";
        SCOPED_TRACE(path + (taken ? ": taken" : ": refused"));
        auto manifest = fetchManifest(server.base() + path);
        EXPECT_EQ(manifest ? manifest->url : "none", taken ? "http://h/a.tgz" : "none");
        std::filesystem::remove(downloads / "release");
        EXPECT_EQ(
            downloadRelease(server.base() + path, downloads / "release", 600, kLongestManifest),
            taken)
            << "the release downloaded";
        EXPECT_EQ(testing::readFile(downloads / "release"), taken ? padded(kLongestManifest) : "");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(downloads.path()), {}),
                  taken ? 1 : 0)
            << "expected only the kept file in the folder";
    }
    EXPECT_EQ(server.requests()[0]["headers"]["Cache-Control"], "no-cache") << "a fresh request";
    EXPECT_FALSE(fetchManifest("file://" + (dir / "latest.json").string())) << "a file";
    EXPECT_FALSE(downloadRelease(server.base() + "/m", downloads / "missing folder/release"))
        << "expected no file kept in a missing folder";
    for (const auto& request : server.requests()) {
        EXPECT_LT(request.value("sent", 0ull), 64ull << 20) << "expected the endless one cut off";
    }
}

TEST_F(FetchFromServer, EachTimeLimitAloneEndsTheCall) {
    server.serve("/silent", {{"body", manifestJson("2.0")}, {"delay", 120}});
    const auto silent = server.base() + "/silent";
    EXPECT_FALSE(fetchManifest(silent, {.request = 1, .wait = 240})) << "the request's limit";
    EXPECT_FALSE(fetchManifest(silent, {.request = 240, .wait = 1})) << "the caller's wait";
    EXPECT_FALSE(downloadRelease(silent, dir / "release", 1)) << "the download's limit";
}

// The order's other rules are fuzzed; a number too large for the reader counts as 0. Empty
// pieces are skipped, not read as 0; a piece may carry one sign.
TEST(Version, NumbersSkipEmptyPiecesAndTakeOneSign) {
    EXPECT_TRUE(isNewerVersion("1.10", "1.9"));
    EXPECT_FALSE(isNewerVersion("2.0-beta", "2.0"));
    EXPECT_FALSE(isNewerVersion("9223372036854775808", "1"));
    EXPECT_THAT(versionNumbers(".1..+2.-3."), ElementsAre(1, 2, -3));
    EXPECT_THAT(versionNumbers("+-1.--2.+"), ElementsAre(0, 0, 0));
}

// Draws scale onto the closed range of four hours; those past the bound are drawn again, not
// folded into it (the mask keeps 54 bits; only values up to 2^53 are taken).
TEST(RandomDelay, DrawsOutsideTheBoundAreRejectedNotFolded) {
    EXPECT_EQ(firstCheckDelay(0), 0.0) << "the lowest draw";
    EXPECT_EQ(firstCheckDelay(kTwo53), 14400.0) << "the highest draw";
    std::vector<std::uint64_t> script = {kTwo53 + 1, ~std::uint64_t{0},
                                         (std::uint64_t{7} << 54) | kTwo53};
    size_t next = 0;
    EXPECT_EQ(drawBelow(kDelayDrawBound, [&] { return script.at(next++); }), kTwo53)
        << "expected the third draw, masked";
    EXPECT_EQ(next, 3u) << "the draws taken";
}

}  // namespace
}  // namespace vantrel
