#include "update/manifest_fetch.h"

#include <gtest/gtest.h>

#include "update/update_fixture.h"

namespace vantrel {
namespace {

using Server = testing::LoopbackServer;

using testing::manifestJson;

// The three strings are taken as they are; the parser's other edges are fuzzed.
TEST(DecodeManifest, AnythingButAnObjectWithTheThreeStringsIsNoManifest) {
    auto manifest = decodeManifest(
        R"({"version": " 1.4.2 ", "url": "https://h/a.tar.gz", "sha256": "ABC ", "notes": [1]})");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->version, " 1.4.2 ");
    EXPECT_EQ(manifest->sha256, "ABC ");
    for (const char* body : {
             R"(["1.2", "http://h/x", "aa"])",
             R"({"version": 1.2, "url": "http://h/x", "sha256": "aa"})",
             R"({"version": "1.2", "url": "http://h/x"})",
             R"({"version": "1.2", "url": "no scheme", "sha256": "aa"})",
             R"({"version": "1.2", "url": "http://h/x\u0000.tar.gz", "sha256": "aa"})",
             R"({"version": "1.2", "url": "http://h/x", "sha256": "aa"} trailing)",
         }) {
        EXPECT_FALSE(decodeManifest(body)) << body;
    }
}

class FetchManifestTest : public ::testing::Test {
  protected:
    std::optional<Manifest> fetch(const std::string& path, ManifestTimes times = {}) {
        return fetchManifest(server.base() + path, times);
    }
    testing::LoopbackServer server;
};

// Only status 200 with a manifest body, from a fresh request, over HTTP (redirects included).
TEST_F(FetchManifestTest, OnlyAManifestServedWithStatus200OverHttpIsDecoded) {
    testing::TempDir dir;
    testing::writeFile(dir / "latest.json", manifestJson("3.0"));
    server.serve("/moved", Server::redirect(server.base() + "/m"));
    server.serve("/to-file", Server::redirect("file://" + (dir / "latest.json").string()));
    struct Case {
        std::string path;
        Server::Route route;
        bool decoded;
    } cases[] = {
        {"/m", Server::answer(manifestJson("2.0", "http://h/a.tgz")), true},
        {"/moved", Server::answer(manifestJson("2.0", "http://h/a.tgz")), true},
        {"/to-file", Server::answer(manifestJson("2.0")), false},
        {"/unrouted", Server::answer(manifestJson("2.0")), false},
        {"/m", Server::answer("<html>not json</html>"), false},
        {"/m", Server::answer(""), false},
    };
    for (long status : {201L, 204L, 206L, 304L, 404L, 500L}) {
        server.serve("/m", Server::answer(manifestJson("2.0"), status));
        EXPECT_FALSE(fetch("/m")) << status;
    }
    for (const auto& c : cases) {
        server.serve(c.path == "/unrouted" ? "/other" : "/m", c.route);
        auto manifest = fetch(c.path);
        ASSERT_EQ(manifest.has_value(), c.decoded) << c.path << " " << c.route.body;
        if (manifest) {
            EXPECT_EQ(manifest->version, "2.0");
            EXPECT_EQ(manifest->url, "http://h/a.tgz");
        }
    }
    EXPECT_EQ(server.requests()[0]["headers"]["Cache-Control"], "no-cache");
    EXPECT_FALSE(fetchManifest("file://" + (dir / "latest.json").string()));
    EXPECT_FALSE(fetchManifest("http://127.0.0.1:1/linux/latest.json"));  // nothing listening
}

TEST_F(FetchManifestTest, TheLongestManifestIs64KiB) {
    for (size_t size : {kLongestManifest, kLongestManifest + 1}) {
        std::string body = manifestJson("2.0");
        body.insert(body.size() - 1, std::string(size - body.size(), ' '));
        server.serve("/m", Server::answer(body));
        EXPECT_EQ(fetch("/m").has_value(), size == kLongestManifest) << size;
    }
}

// Cut off as it streams: however long the client would wait, the server gets out no more than
// the cap and what the connection's buffers hold.
TEST_F(FetchManifestTest, AnEndlessBodyIsCutOffAsItStreams) {
    server.serve("/m", Server::endlessAnswer());
    EXPECT_FALSE(fetch("/m", {.request = 120, .wait = 120}));
    std::uint64_t sent = 0;
    ASSERT_TRUE(testing::eventually(
        [&] {
            for (const auto& request : server.requests()) {
                sent = request.value("sent", sent);
            }
            return sent > 0;
        },
        60));
    EXPECT_LT(sent, std::uint64_t{64} << 20);
}

// Each limit alone ends the call: a fault in either would hold the test for the server's two
// minutes.
TEST_F(FetchManifestTest, TheRequestTimeOutAndTheCallersWaitEachEndTheCall) {
    server.serve("/silent", Server::answer(manifestJson("2.0"), 200, 120));
    EXPECT_FALSE(fetch("/silent", {.request = 1, .wait = 240}));
    EXPECT_FALSE(fetch("/silent", {.request = 240, .wait = 1}));
}

}  // namespace
}  // namespace vantrel
