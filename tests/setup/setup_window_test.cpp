#include "setup/setup_window.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <regex>

#include <QSettings>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include "gui_harness.h"
#include "setup/setup_web_window.h"
#include "support/manual_queue.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

const QString kAddress = QStringLiteral("http://127.0.0.1:8787/");

// The window of the setup window's process, driven in this one.
class SetupWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startGuiApplication(); }

    void showAndFollow() {
        window.show();
        QObject::connect(page(), &QWebEnginePage::loadingChanged, [this](const auto& info) {
            if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                started.push_back(info.url().toString());
            }
        });
    }
    QWebEnginePage* page() const { return window.webViewForTesting()->page(); }
    void click(const char* id) {
        page()->runJavaScript(
            QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(id)));
    }

    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    SetupWebWindow window{
        workspace, std::make_shared<RecordingAlerts>(),
        std::make_shared<QSettings>(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent")),
        queue, 0.2};
    std::vector<QString> started;
};

TEST_F(SetupWindowTest, ShowsTheAgentsPagesSendsOthersOutAndSavesDownloads) {
    PythonServer agent({}, 8787);
    ASSERT_TRUE(agent.waitUntilListening()) << agent.output();
    showAndFollow();
    EXPECT_EQ(window.windowForTesting()->windowTitle(), QStringLiteral("Vantrel Agent"));
    ASSERT_TRUE(
        waitFor([&] { return page()->title() == "Vantrel Agent setup" && !page()->isLoading(); }));
    click("outside-link");
    ASSERT_TRUE(waitFor([&] { return !workspace->opened.empty(); }));
    EXPECT_EQ(workspace->opened, std::vector<std::string>{"https://vantrel.example/help"});
    EXPECT_EQ(page()->url().toString(), kAddress);

    // A download lands under the first free name in Downloads and is shown in the file manager.
    const auto downloads = sandboxHome() / "Downloads";
    writeFile(downloads / "readings.csv", "first");
    click("download-link");
    ASSERT_TRUE(waitFor([&] { return !workspace->revealed.empty(); }));
    ASSERT_EQ(workspace->revealed, std::vector{downloads / "readings 2.csv"});
    EXPECT_TRUE(readFile(downloads / "readings 2.csv").starts_with("time,"));
    EXPECT_EQ(readFile(downloads / "readings.csv"), "first");

    // Shown while open: brought forward, not reloaded.
    const auto loads = started.size();
    window.show();
    EXPECT_EQ(started.size(), loads);
}

TEST_F(SetupWindowTest, RetriesALoadThatTimesOut) {
    // Listens without ever accepting: the connection opens, no answer comes.
    PythonServer silent(
        {}, 8787,
        "import os, socket, time\n"
        "s = socket.create_server(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])))\n"
        "time.sleep(600)\n");
    ASSERT_TRUE(silent.waitUntilListening()) << silent.output();
    showAndFollow();
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(queue->nextDelay(), 0.5);
    EXPECT_EQ(window.loadingForTesting().attempts, 1);
    queue->advance(0.5);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1 && started.size() == 2; }));
    EXPECT_EQ(started[1], kAddress);
    EXPECT_EQ(window.loadingForTesting().attempts, 2);
}

// The window's process lives only while the window is open; each show after a close, or after a
// crash of that process, starts a new one, which loads the page anew.
TEST(SetupWindowProcessTest, ClosingEndsTheWindowsProcessAndAShowLoadsAnew) {
    startGuiApplication();
    PythonServer page({}, 8787,
                      "import http.server as h, os\n"
                      "h.HTTPServer(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])),"
                      " h.SimpleHTTPRequestHandler).serve_forever()\n");
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    auto loads = [&page] {
        auto log = page.output();
        std::regex get("GET / ");
        return std::distance(std::sregex_iterator(log.begin(), log.end(), get), {});
    };
    SetupWindow window(std::filesystem::path(VANTREL_BUNDLE_DIR) / SetupWindow::kProgram);
    window.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 1; }, 60));
    const pid_t first = *window.pidForTesting();
    window.close();
    ASSERT_TRUE(waitFor([&] { return !window.isOpen() && !window.pidForTesting(); }, 60));
    EXPECT_NE(::kill(first, 0), 0) << "ended and reaped";

    window.show();
    EXPECT_TRUE(window.isOpen());
    ASSERT_TRUE(waitFor([&] { return loads() == 2; }, 60));
    ::kill(*window.pidForTesting(), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !window.isOpen() && !window.pidForTesting(); }));
    window.show();
    EXPECT_TRUE(waitFor([&] { return loads() == 3; }, 60));
}

}  // namespace
}  // namespace vantrel
