#include "setup/setup_window.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include <unistd.h>

#include <fstream>

#include "gui_harness.h"
#include "support/manual_queue.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

const QString kAddress = QStringLiteral("http://127.0.0.1:8787/");

// The web-engine page renderers that this process started, found through their parents.
int renderersOfThisProcess() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string text((std::istreambuf_iterator<char>(cmdline)), {});
        if (text.find("--type=renderer") == std::string::npos) {
            continue;
        }
        for (auto pid = entry.path().filename().string(); pid != "0" && pid != "1";) {
            std::ifstream stat(std::filesystem::path("/proc") / pid / "stat");
            std::string line((std::istreambuf_iterator<char>(stat)), {});
            if (line.empty()) {
                break;
            }
            std::istringstream fields(line.substr(line.rfind(')') + 2));
            std::string state;
            fields >> state >> pid;
            if (pid == std::to_string(::getpid())) {
                ++count;
                break;
            }
        }
    }
    return count;
}

class SetupWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startGuiApplication(); }

    // Shows the window and follows its page's loads.
    void showAndFollow(SetupWindow& window) {
        window.show();
        QObject::connect(window.webViewForTesting()->page(), &QWebEnginePage::loadingChanged,
                         [this](const QWebEngineLoadingInfo& info) {
                             if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                                 started.push_back(info.url().toString());
                             } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
                                 ++failed;
                             }
                         });
    }
    static QWebEnginePage* page(const SetupWindow& window) {
        return window.webViewForTesting()->page();
    }
    static bool shows(const SetupWindow& window, const char* title) {
        return window.webViewForTesting() && page(window)->title() == QString::fromUtf8(title) &&
               !page(window)->isLoading();
    }
    static void click(SetupWindow& window, const char* id) {
        page(window)->runJavaScript(
            QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(id)));
    }

    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<QSettings> settings =
        std::make_shared<QSettings>(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent"));
    std::vector<QString> started;
    int failed = 0;
};

TEST_F(SetupWindowTest, ShowsTheAgentsPagesSendsOthersOutAndLetsGoWhenClosed) {
    PythonServer agent({}, 8787);
    ASSERT_TRUE(agent.waitUntilListening()) << agent.output();
    SetupWindow window(workspace, alerts, settings, std::make_shared<QtMainQueue>());
    EXPECT_FALSE(window.isOpen());
    showAndFollow(window);
    EXPECT_TRUE(window.isOpen());
    EXPECT_EQ(window.windowForTesting()->windowTitle(), QStringLiteral("Vantrel Agent"));
    ASSERT_TRUE(waitFor([&] { return shows(window, "Vantrel Agent setup"); }));
    EXPECT_EQ(page(window)->url().toString(), kAddress);

    click(window, "about-link");
    ASSERT_TRUE(waitFor([&] { return shows(window, "About the Vantrel Agent"); }));
    click(window, "back-link");
    ASSERT_TRUE(waitFor([&] { return shows(window, "Vantrel Agent setup"); }));
    click(window, "outside-link");
    ASSERT_TRUE(waitFor([&] { return !workspace->opened.empty(); }));
    EXPECT_EQ(workspace->opened, std::vector<std::string>{"https://vantrel.example/help"});
    EXPECT_EQ(page(window)->url().toString(), kAddress);

    // A download lands under the first free name in Downloads and is shown in the file manager.
    const auto downloads = sandboxHome() / "Downloads";
    writeFile(downloads / "readings.csv", "first");
    click(window, "download-link");
    ASSERT_TRUE(waitFor([&] { return !workspace->revealed.empty() || !alerts->shown.empty(); }));
    ASSERT_EQ(workspace->revealed, std::vector{downloads / "readings 2.csv"});
    EXPECT_TRUE(readFile(downloads / "readings 2.csv").starts_with("time,"));
    EXPECT_EQ(readFile(downloads / "readings.csv"), "first");

    // Shown while open: brought forward, not reloaded.
    const auto loads = started.size();
    window.show();
    EXPECT_EQ(started.size(), loads);
    EXPECT_EQ(failed, 0);
    EXPECT_GE(renderersOfThisProcess(), 1);

    // Closed: the page, its profile and its renderer go; the window stays for the next show.
    QWidget* frame = window.windowForTesting();
    frame->close();
    ASSERT_TRUE(waitFor([&] { return !window.webViewForTesting(); }));
    ASSERT_TRUE(waitFor([&] { return renderersOfThisProcess() == 0; }));
    window.show();
    EXPECT_EQ(window.windowForTesting(), frame);
    EXPECT_EQ(window.loadingForTesting().attempts, 0);
    ASSERT_TRUE(waitFor([&] { return shows(window, "Vantrel Agent setup"); }));
    EXPECT_EQ(page(window)->url().toString(), kAddress);
}

TEST_F(SetupWindowTest, RetriesALoadThatTimesOut) {
    // Listens without ever accepting: the connection opens, no answer comes.
    PythonServer silent({}, 8787,
                        "import os, socket, time\n"
                        "s = socket.socket()\n"
                        "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                        "s.bind(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])))\n"
                        "s.listen(16)\n"
                        "time.sleep(600)\n");
    ASSERT_TRUE(silent.waitUntilListening()) << silent.output();
    auto queue = std::make_shared<ManualQueue>();
    SetupWindow window(workspace, alerts, settings, queue, 0.2);
    showAndFollow(window);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(queue->nextDelay(), 0.5);
    EXPECT_EQ(window.loadingForTesting().attempts, 1);
    queue->advance(0.5);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1 && started.size() == 2; }));
    EXPECT_EQ(started[1], kAddress);
    EXPECT_EQ(window.loadingForTesting().attempts, 2);
}

}  // namespace
}  // namespace vantrel
