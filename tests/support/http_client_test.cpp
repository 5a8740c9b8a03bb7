#include "support/http_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

// A threading http.server on a free loopback port, which it reports as its first line.
constexpr const char* kServer = R"PY(
import http.server, sys, time

class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.answer(code, ("status %d" % code).encode())
        elif path == "/body":
            self.answer(200, b"hello\x00world")
        elif path == "/slow":
            time.sleep(5)
            self.answer(200, b"late")
        elif path == "/to-body":
            self.answer(302, headers=[("Location", "/body")])
        elif path == "/to-file":
            self.answer(302, headers=[("Location", "file:///etc/hostname")])
        elif path == "/headers":
            text = "cache=%s pragma=%s" % (self.headers.get("Cache-Control"), self.headers.get("Pragma"))
            self.answer(200, text.encode())
        elif path == "/archive":
            self.answer(200, b"PK\x03\x04" + bytes(range(256)) * 64)
        else:
            self.answer(404)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

class HttpClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::writeFile(dir / "server.py", kServer);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        UniqueFd readEnd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        auto started = ChildProcess::spawn({.executable = VANTREL_SYSTEM_PYTHON,
                                            .arguments = {(dir / "server.py").string()},
                                            .environment = currentEnvironment(),
                                            .output = writeEnd.get()});
        ASSERT_TRUE(started.child) << started.error;
        server.emplace(std::move(*started.child));
        writeEnd.reset();
        const std::string line = readLine(readEnd.get());
        ASSERT_FALSE(line.empty()) << "the test server did not report its port";
        base = "http://127.0.0.1:" + line;
    }

    void TearDown() override {
        if (server) {
            server->signal(SIGKILL);
            server->wait();
        }
    }

    static std::string readLine(int fd) {
        std::string line;
        char c = 0;
        pollfd ready{fd, POLLIN, 0};
        while (::poll(&ready, 1, 10000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    HttpRequest get(const std::string& path, double timeout = 10) {
        return HttpRequest{.url = base + path, .timeoutSeconds = timeout};
    }

    size_t filesIn(const std::filesystem::path& folder) {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
            ++count;
        }
        return count;
    }

    testing::TempDir dir;
    testing::TempDir downloads;
    std::optional<ChildProcess> server;
    std::string base;
};

TEST_F(HttpClientTest, GivesStatusAndBodyOfEveryAnswer) {
    for (long status : {200L, 201L, 404L, 500L, 503L}) {
        const HttpResult result = httpGet(get("/status/" + std::to_string(status)));
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.body, "status " + std::to_string(status));
    }
    const HttpResult binary = httpGet(get("/body"));
    EXPECT_EQ(binary.status, 200);
    EXPECT_EQ(binary.body, std::string("hello\0world", 11));
}

TEST_F(HttpClientTest, FollowsHttpRedirectsButRefusesOtherSchemes) {
    const HttpResult followed = httpGet(get("/to-body"));
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.body, std::string("hello\0world", 11));

    const HttpResult refused = httpGet(get("/to-file"));
    EXPECT_EQ(refused.status, 0);
    EXPECT_FALSE(refused.body);

    const HttpResult direct = httpGet({.url = "file:///etc/hostname"});
    EXPECT_EQ(direct.status, 0);
    EXPECT_FALSE(direct.body);
}

TEST_F(HttpClientTest, NoAnswerGivesStatusZeroWithoutBody) {
    const auto start = std::chrono::steady_clock::now();
    const HttpResult late = httpGet(get("/slow", 0.5));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(late.status, 0);
    EXPECT_FALSE(late.body);

    server->signal(SIGKILL);
    server->wait();
    server.reset();
    const HttpResult refused = httpGet(get("/body"));
    EXPECT_EQ(refused.status, 0);
    EXPECT_FALSE(refused.body);
    EXPECT_EQ(httpGet({.url = "not a url"}).status, 0);
}

TEST_F(HttpClientTest, BypassingTheCacheAsksForAFreshAnswer) {
    EXPECT_EQ(httpGet(get("/headers")).body, "cache=None pragma=None");
    HttpRequest fresh = get("/headers");
    fresh.bypassCache = true;
    EXPECT_EQ(httpGet(fresh).body, "cache=no-cache pragma=no-cache");
}

TEST_F(HttpClientTest, DownloadKeepsTheFileOnlyForA200) {
    const auto destination = downloads / "update.zip";
    const HttpResult missing = httpDownload(get("/status/404"), destination);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(filesIn(downloads.path()), 0u);

    const HttpResult late = httpDownload(get("/slow", 0.5), destination);
    EXPECT_EQ(late.status, 0);
    EXPECT_EQ(filesIn(downloads.path()), 0u);

    const HttpResult refused = httpDownload(get("/to-file"), destination);
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(filesIn(downloads.path()), 0u);

    const HttpResult done = httpDownload(get("/archive"), destination);
    EXPECT_EQ(done.status, 200);
    const std::string bytes = testing::readFile(destination);
    EXPECT_EQ(bytes.size(), 4u + 256u * 64u);
    EXPECT_EQ(bytes.substr(0, 4), "PK\x03\x04");
    EXPECT_EQ(filesIn(downloads.path()), 1u);
}

TEST_F(HttpClientTest, DownloadIntoAMissingFolderLeavesNothing) {
    const HttpResult result = httpDownload(get("/archive"), downloads / "absent" / "update.zip");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(std::filesystem::exists(downloads / "absent"));
}

}  // namespace
}  // namespace vantrel
