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
    const auto loads = [&] { return std::ranges::count(agent->output(), '\n'); };

    // SetupWindowProcessTest.ClosingEndsTheWindowsProcessAndAShowLoadsAnew: the process lives
    // while the window is open; a show after a close, or after a crash, starts one that loads anew.
    SetupWindow process(std::filesystem::path(VANTREL_BUNDLE_DIR) / SetupWindow::kProgram,
                        {"--load-timeout=600"});
    process.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 1; }, 60));
    const pid_t first = *process.pidForTesting();
    process.close();
    ASSERT_TRUE(waitFor([&] { return !process.isOpen() && !process.pidForTesting(); }, 60));
    EXPECT_NE(::kill(first, 0), 0) << "ended and reaped";
    process.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 2; }, 60));
    ::kill(*process.pidForTesting(), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !process.isOpen() && !process.pidForTesting(); }));
    process.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 3; }, 60));

    // A load that times out is stopped and retried on the main queue, counted against the budget.
    auto workspace = std::make_shared<RecordingWorkspace>();
    auto queue = std::make_shared<ManualQueue>();
    SetupWebWindow window(workspace, std::make_shared<RecordingAlerts>(),
                          std::make_shared<QSettings>("Vantrel", "Agent"), queue, 0.2);
    window.show();
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(queue->nextDelay(), 0.5);
    EXPECT_EQ(window.loadingForTesting().attempts, 1);
    queue->advance(0.5);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(window.loadingForTesting().attempts, 2);

    // The agent's page shows once the next try reaches it (the clock runs on, as on a busy machine
    // that load may outlast 0.2 s too); other pages open outside.
    agent.emplace(std::vector<std::string>{}, 8787);
    ASSERT_TRUE(agent->waitUntilListening()) << agent->output();
    auto* page = window.webViewForTesting()->page();
    ASSERT_TRUE(waitFor([&] {
        queue->advance(0.5);
        return page->title() == "Vantrel Agent setup" && !page->isLoading();
    }));
    EXPECT_EQ(window.loadingForTesting().attempts, 0);
    page->runJavaScript(QStringLiteral("document.getElementById('outside-link').click()"));
    ASSERT_TRUE(waitFor([&] { return !workspace->opened.empty(); }));
    EXPECT_EQ(workspace->opened, std::vector<std::string>{"https://vantrel.example/help"});
    EXPECT_EQ(page->url().toString(), QStringLiteral("http://127.0.0.1:8787/"));

    // A download lands under the first free name in Downloads, shown in the file manager.
    const auto downloads = std::filesystem::path(std::getenv("HOME")) / "Downloads";
    writeFile(downloads / "readings.csv", "first");
    page->runJavaScript(QStringLiteral("document.getElementById('download-link').click()"));
    ASSERT_TRUE(waitFor([&] { return !workspace->revealed.empty(); }));
    ASSERT_EQ(workspace->revealed, std::vector{downloads / "readings 2.csv"});
    EXPECT_TRUE(readFile(downloads / "readings 2.csv").starts_with("time,"));
    EXPECT_EQ(readFile(downloads / "readings.csv"), "first");

    window.show();
    EXPECT_FALSE(window.loadingForTesting().requested) << "brought forward, not reloaded";
}

}  // namespace
}  // namespace vantrel
