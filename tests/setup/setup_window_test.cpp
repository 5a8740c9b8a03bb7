#include "setup/setup_window.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

#include <QSettings>
#include <QWebEngineView>

#include "gui_harness.h"
#include "setup/setup_web_window.h"
#include "support/manual_queue.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

// The window of the setup window's process, driven here, and that process itself, against a
// server that logs each request and never answers, then against the agent.
TEST(SetupWindowTest, RetriesALoadThatTimesOutInItsOwnProcessThenShowsTheAgentsPages) {
    startGuiApplication();
    std::optional<PythonServer> agent(std::in_place, std::vector<std::string>{}, 8787,
                                      "import http.server as h, time\n"
                                      "class Silent(h.BaseHTTPRequestHandler):\n"
                                      "    def do_GET(self): self.log_request(); time.sleep(600)\n"
                                      "h.ThreadingHTTPServer(('127.0.0.1', 8787), Silent)"
                                      ".serve_forever()\n");
    ASSERT_TRUE(agent->waitUntilListening()) << agent->output();
    const auto loaded = [&](long count) {
        return waitFor([&] { return std::ranges::count(agent->output(), '\n') == count; }, 60);
    };

    SetupWindow process(std::filesystem::path(VANTREL_BUNDLE_DIR) / SetupWindow::kProgram,
                        {"--load-timeout=600"});
    const auto gone = [&] { return !process.isOpen() && !process.pidForTesting(); };
    step("the process lives while the window is open; a show after a close or a crash loads anew",
         [&] {
             process.show();
             ASSERT_TRUE(loaded(1)) << "expected the first load";
             const pid_t first = *process.pidForTesting();
             process.close();
             ASSERT_TRUE(waitFor(gone, 60)) << "expected the process gone after a close";
             EXPECT_NE(::kill(first, 0), 0) << "expected it ended and reaped";
             process.show();
             ASSERT_TRUE(loaded(2)) << "expected a load anew";
             ::kill(*process.pidForTesting(), SIGKILL);
             ASSERT_TRUE(waitFor(gone)) << "expected a crashed process forgotten";
             process.show();
             EXPECT_TRUE(loaded(3)) << "expected a load anew after a crash";
         });

    auto workspace = std::make_shared<RecordingWorkspace>();
    auto queue = std::make_shared<ManualQueue>();
    SetupWebWindow window(workspace, std::make_shared<RecordingAlerts>(),
                          std::make_shared<QSettings>("Vantrel", "Agent"), queue, 0.2);
    // The budget and the retries after the first are the loading table's.
    step("a load that times out is stopped and retried on the main queue", [&] {
        window.show();
        ASSERT_TRUE(waitFor([&] { return queue->size() == 1; })) << "expected a retry queued";
        EXPECT_EQ(window.loadingForTesting().attempts, 1);
    });

    auto* page = window.webViewForTesting()->page();
    // The clock runs on, as on a busy machine that load may outlast 0.2 s too.
    step("the agent's page shows once a try reaches it; other pages open outside", [&] {
        agent.emplace(std::vector<std::string>{}, 8787);
        ASSERT_TRUE(agent->waitUntilListening()) << agent->output();
        ASSERT_TRUE(waitFor([&] {
            queue->advance(0.5);
            return page->title() == "Vantrel Agent setup" && !page->isLoading();
        })) << "expected the agent's page";
        EXPECT_EQ(window.loadingForTesting().attempts, 0);
        page->runJavaScript(QStringLiteral("document.getElementById('outside-link').click()"));
        ASSERT_TRUE(waitFor([&] { return !workspace->opened.empty(); }))
            << "expected the link opened outside";
        EXPECT_EQ(workspace->opened, std::vector<std::string>{"https://vantrel.example/help"});
        page->runJavaScript(QStringLiteral("window.open('https://vantrel.example/new')"));
        ASSERT_TRUE(waitFor([&] { return workspace->opened.size() == 2; }))
            << "expected a new window's page opened outside";
        EXPECT_EQ(workspace->opened.back(), "https://vantrel.example/new");
        EXPECT_EQ(page->url().toString(), QStringLiteral("http://127.0.0.1:8787/"));
    });

    step("a download lands under the first free name in Downloads, shown in the file manager", [&] {
        const auto downloads = std::filesystem::path(std::getenv("HOME")) / "Downloads";
        writeFile(downloads / "readings.csv", "first");
        page->runJavaScript(QStringLiteral("document.getElementById('download-link').click()"));
        ASSERT_TRUE(waitFor([&] { return !workspace->revealed.empty(); }))
            << "expected the download shown";
        EXPECT_EQ(workspace->revealed, std::vector{downloads / "readings 2.csv"});
        EXPECT_TRUE(readFile(downloads / "readings 2.csv").starts_with("time,"))
            << "expected the agent's readings in the file";
        EXPECT_EQ(readFile(downloads / "readings.csv"), "first");
    });
}

}  // namespace
}  // namespace vantrel
