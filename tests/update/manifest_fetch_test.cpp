#include "update/manifest_fetch.h"

#include <gtest/gtest.h>

#include "manifest_server.h"

namespace vantrel {
namespace {

using testing::manifestJson;
using testing::ManifestServer;

const std::string kDigest(64, 'a');

TEST(DecodeManifest, TakesThreeStringsAsTheyAreAndIgnoresOtherKeys) {
    auto manifest =
        decodeManifest(R"({"version": " 1.4.2 ", "url": "https://dl.example.test/a.tar.gz",)"
                       R"( "sha256": "ABC ", "notes": [1, 2]})");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->version, " 1.4.2 ");
    EXPECT_EQ(manifest->url, "https://dl.example.test/a.tar.gz");
    EXPECT_EQ(manifest->sha256, "ABC ");
}

TEST(DecodeManifest, AnythingButAnObjectWithTheThreeStringsIsNoManifest) {
    const char* bodies[] = {
        "",
        "not json",
        "[]",
        R"(["1.2", "http://h/x", "aa"])",
        R"("1.2")",
        "null",
        R"({"version": 1.2, "url": "http://h/x", "sha256": "aa"})",
        R"({"version": "1.2", "url": "http://h/x"})",
        R"({"url": "http://h/x", "sha256": "aa"})",
        R"({"version": "1.2", "sha256": "aa"})",
        R"({"version": "1.2", "url": "no scheme", "sha256": "aa"})",
        R"({"version": "1.2", "url": "", "sha256": "aa"})",
        R"({"version": "1.2", "url": "http://h/x\u0000.tar.gz", "sha256": "aa"})",
        R"({"version": "1.2", "url": {"href": "http://h/x"}, "sha256": "aa"})",
        R"({"version": "1.2", "url": "http://h/x", "sha256": null})",
        R"({"version": "1.2", "url": "http://h/x", "sha256": "aa"} trailing)",
        R"({"version": "1.2", "url": "http://h/x", "sha256": "aa")",
    };
    for (const char* body : bodies) {
        EXPECT_FALSE(decodeManifest(body)) << body;
    }
}

TEST(ManifestRequest, ProductionAsksAFreshAnswerWithinTwentySecondsAndWaitsAtMostThirty) {
    ManifestTimes production;
    EXPECT_EQ(production.request, 20);
    EXPECT_EQ(production.wait, 30);
    auto request = manifestRequest("http://127.0.0.1:1/x");
    EXPECT_EQ(request.url, "http://127.0.0.1:1/x");
    EXPECT_EQ(request.timeoutSeconds, 20);
    EXPECT_TRUE(request.bypassCache);
}

class FetchManifestTest : public ::testing::Test {
  protected:
    std::optional<Manifest> fetch(const std::string& path, ManifestTimes times = {}) {
        return fetchManifest(server.base() + path, times);
    }
    ManifestServer server;
};

TEST_F(FetchManifestTest, AManifestServedWithStatus200IsDecodedFromAFreshRequest) {
    server.serve("/linux/latest.json", manifestJson("2.0", "http://h/a.tgz", kDigest));
    auto manifest = fetch("/linux/latest.json");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->version, "2.0");
    EXPECT_EQ(manifest->url, "http://h/a.tgz");
    EXPECT_EQ(manifest->sha256, kDigest);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["headers"]["Cache-Control"], "no-cache");
}

TEST_F(FetchManifestTest, OnlyStatus200KeepsTheBody) {
    for (long status : {201L, 203L, 204L, 206L, 304L, 404L, 500L}) {
        server.serve("/m", manifestJson("2.0"), status);
        EXPECT_FALSE(fetch("/m")) << status;
    }
    EXPECT_FALSE(fetch("/unrouted"));
}

TEST_F(FetchManifestTest, BadBodiesFromTheServerAreNoManifest) {
    for (const std::string& body :
         {std::string("<html>not json</html>"), std::string("[]"), std::string(""),
          std::string(R"({"version": 2, "url": "http://h/x", "sha256": "aa"})")}) {
        server.serve("/m", body);
        EXPECT_FALSE(fetch("/m")) << body.substr(0, 60);
    }
}

TEST_F(FetchManifestTest, TheLongestManifestIs64KiB) {
    for (size_t size : {kLongestManifest, kLongestManifest + 1}) {
        std::string body = manifestJson("2.0");
        body.insert(body.size() - 1, std::string(size - body.size(), ' '));
        server.serve("/m", body);
        EXPECT_EQ(fetch("/m").has_value(), size == kLongestManifest) << size;
    }
}

// Cut off as it streams: however long the client would wait, the server gets out no more than
// the cap and what the connection's buffers hold.
TEST_F(FetchManifestTest, AnEndlessBodyIsCutOffAsItStreams) {
    server.serveEndless("/m");
    EXPECT_FALSE(fetch("/m", {.request = 120, .wait = 120}));
    std::uint64_t sent = 0;
    ASSERT_TRUE(testing::eventually(
        [&] {
            for (const auto& request : server.requests()) {
                if (request.contains("sent")) {
                    sent = request["sent"].get<std::uint64_t>();
                    return true;
                }
            }
            return false;
        },
        60));
    EXPECT_LT(sent, std::uint64_t{64} << 20);
}

TEST_F(FetchManifestTest, RedirectsAreFollowedOnlyToHttp) {
    server.redirect("/moved", server.base() + "/m");
    server.serve("/m", manifestJson("2.0"));
    auto manifest = fetch("/moved");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->version, "2.0");

    testing::TempDir dir;
    testing::writeFile(dir / "latest.json", manifestJson("3.0"));
    server.redirect("/to-file", "file://" + (dir / "latest.json").string());
    EXPECT_FALSE(fetch("/to-file"));
    EXPECT_FALSE(fetchManifest("file://" + (dir / "latest.json").string()));
}

// Each limit alone ends the call: a fault in either would hold the test for the server's two
// minutes.
TEST_F(FetchManifestTest, TheRequestTimeOutAndTheCallersWaitEachEndTheCall) {
    server.serve("/silent", manifestJson("2.0"), 200, 120);
    EXPECT_FALSE(fetch("/silent", {.request = 1, .wait = 240}));
    EXPECT_FALSE(fetch("/silent", {.request = 240, .wait = 1}));
}

TEST(FetchManifest, NothingListeningIsNoManifest) {
    EXPECT_FALSE(fetchManifest("http://127.0.0.1:1/linux/latest.json"));
}

}  // namespace
}  // namespace vantrel
