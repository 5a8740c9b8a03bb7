#include "support/http_client.h"

#include <gtest/gtest.h>

#include "support/running_app.h"

namespace vantrel {
namespace {

// A threading http.server with one path for each kind of answer.
constexpr const char* kServer = R"PY(
import http.server, os, time

class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self, status, body=b"", location=None):
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/status/"):
            self.answer(int(self.path[8:]), b"status " + self.path[8:].encode())
        elif self.path == "/body":
            self.answer(200, b"hello\x00world")
        elif self.path == "/slow":
            time.sleep(5)
            self.answer(200, b"late")
        elif self.path.startswith("/to"):
            self.answer(302, location={"/to-body": "/body", "/to-file": "file:///etc/hostname"}[self.path])
        elif self.path == "/headers":
            self.answer(200, ("%s %s" % (self.headers.get("Cache-Control"), self.headers.get("Pragma"))).encode())
        else:
            self.answer(200, b"PK\x03\x04" + bytes(range(256)) * 64)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", int(os.environ["VANTREL_SIM_PORT"])), Handler)
server.daemon_threads = True
server.serve_forever()
)PY";

class HttpClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new testing::PythonServer({}, 0, kServer);
        ASSERT_TRUE(server->waitUntilListening()) << server->output();
    }
    static void TearDownTestSuite() { delete server; }

    static HttpRequest get(const std::string& path, double timeout = 10) {
        return HttpRequest{.url = server->base() + path, .timeoutSeconds = timeout};
    }

    static inline testing::PythonServer* server = nullptr;
    testing::TempDir downloads;
};

// Status 0 and no body stand for every way of getting no answer; a download keeps its file only
// for a 200.
TEST_F(HttpClientTest, GetAndDownloadGiveStatusAndBodyOrNothing) {
    std::string archive = "PK\x03\x04";
    for (int index = 0; index < 64 * 256; ++index) {
        archive.push_back(static_cast<char>(index % 256));
    }
    struct Case {
        HttpRequest request;
        long status;
        std::optional<std::string> body;
    } cases[] = {
        {get("/status/200"), 200, "status 200"},
        {get("/status/404"), 404, "status 404"},
        {get("/status/503"), 503, "status 503"},
        {get("/body"), 200, std::string("hello\0world", 11)},
        {get("/to-body"), 200, std::string("hello\0world", 11)},  // an http redirect is followed
        {get("/to-file"), 0, std::nullopt},                       // other schemes are not
        {{.url = "file:///etc/hostname"}, 0, std::nullopt},
        {{.url = "not a url"}, 0, std::nullopt},
        {{.url = "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort())},
         0,
         std::nullopt},
        {get("/slow", 0.5), 0, std::nullopt},
        {get("/archive"), 200, archive},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.url);
        const HttpResult got = httpGet(c.request);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.body, c.body);
        const auto file = downloads / "update.zip";
        EXPECT_EQ(httpDownload(c.request, file).status, c.status);
        EXPECT_EQ(std::filesystem::exists(file), c.status == 200);
        if (c.status == 200) {
            EXPECT_EQ(testing::readFile(file), *c.body);
            std::filesystem::remove(file);
        }
    }
    EXPECT_EQ(httpDownload(get("/archive"), downloads / "absent" / "update.zip").status, 0);
    EXPECT_FALSE(std::filesystem::exists(downloads / "absent"));
}

TEST_F(HttpClientTest, BypassingTheCacheAsksForAFreshAnswer) {
    EXPECT_EQ(httpGet(get("/headers")).body, "None None");
    HttpRequest fresh = get("/headers");
    fresh.bypassCache = true;
    EXPECT_EQ(httpGet(fresh).body, "no-cache no-cache");
}

}  // namespace
}  // namespace vantrel
