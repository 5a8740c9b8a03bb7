#include <gtest/gtest.h>

#include <QWebEngineView>

#include <set>

#include "gui_harness.h"
#include "setup/setup_window.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

class SetupDownloadsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startGuiApplication(); }

    void SetUp() override {
        std::filesystem::remove_all(downloads());
        std::filesystem::create_directories(downloads());
    }

    // Shows the setup page served on the agent's port and clicks the link with the given id.
    void clickOnPage(const char* id) {
        window.show();
        auto* page = window.webViewForTesting()->page();
        ASSERT_TRUE(waitFor([&] { return !page->isLoading() && page->url().path() == "/"; }));
        ASSERT_TRUE(waitFor([&] { return !page->title().isEmpty(); }));
        page->runJavaScript(QStringLiteral("document.getElementById('%1').click()").arg(id));
    }

    static std::filesystem::path downloads() { return sandboxHome() / "Downloads"; }
    static std::set<std::string> names() {
        std::set<std::string> result;
        for (const auto& entry : std::filesystem::directory_iterator(downloads())) {
            result.insert(entry.path().filename());
        }
        return result;
    }

    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    SetupWindow window{workspace, alerts};
};

TEST_F(SetupDownloadsTest, SavesUnderTheFirstFreeNameAndRevealsTheFile) {
    auto agent = LoopbackServer::referenceAgent();
    ASSERT_TRUE(agent.waitUntilListening());
    writeFile(downloads() / "readings.csv", "first");
    writeFile(downloads() / "readings 2.csv", "second");
    clickOnPage("download-link");
    ASSERT_TRUE(waitFor([&] { return !workspace->revealed.empty() || !alerts->shown.empty(); }));
    EXPECT_TRUE(alerts->shown.empty());
    ASSERT_EQ(workspace->revealed, std::vector{downloads() / "readings 3.csv"});
    EXPECT_TRUE(readFile(downloads() / "readings 3.csv").starts_with("time,"))
        << readFile(downloads() / "readings 3.csv");
    EXPECT_EQ(readFile(downloads() / "readings.csv"), "first");
    EXPECT_EQ(readFile(downloads() / "readings 2.csv"), "second");
    EXPECT_EQ(names(), (std::set<std::string>{"readings.csv", "readings 2.csv", "readings 3.csv"}));
}

TEST_F(SetupDownloadsTest, ReportsADownloadThatBreaksOffAndLeavesNoFile) {
    // A page whose download promises more bytes than it sends, then hangs up.
    auto server = LoopbackServer::pythonScript(R"(
import http.server
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/":
            body = b'<title>broken</title><a id="broken" href="/broken.bin">x</a>'
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        else:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Disposition", 'attachment; filename="broken.bin"')
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            self.wfile.write(b"only a little")
            self.wfile.flush()
            self.close_connection = True
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", 8787), Handler).serve_forever()
)");
    ASSERT_TRUE(server.waitUntilListening());
    clickOnPage("broken");
    ASSERT_TRUE(waitFor([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->shown.front().first, "The file could not be saved");
    EXPECT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown.front().second,
              "The server ended the transfer before the whole file arrived.");
    EXPECT_TRUE(workspace->revealed.empty());
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(names(), std::set<std::string>{});
}

}  // namespace
}  // namespace vantrel
