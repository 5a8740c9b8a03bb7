#include "setup/setup_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QSettings>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include <cstdlib>

#include "gui_harness.h"
#include "support/manual_queue.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

const QString kAddress = QStringLiteral("http://127.0.0.1:8787/");

class SetupWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startGuiApplication(); }

    void SetUp() override {
        std::filesystem::remove_all(downloads());
        QSettings(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent")).clear();
    }

    std::unique_ptr<SetupWindow> makeWindow(std::shared_ptr<TaskQueue> queue = nullptr) {
        auto window = std::make_unique<SetupWindow>(workspace, alerts, nullptr, std::move(queue));
        return window;
    }

    // Shows the window and follows its page's loads from the first one on.
    void showAndFollow(SetupWindow& window) {
        window.show();
        QObject::connect(window.webViewForTesting()->page(), &QWebEnginePage::loadingChanged,
                         [this](const QWebEngineLoadingInfo& info) {
                             if (std::getenv("SETUP_TEST_TRACE")) {
                                 qInfo() << info.url() << info.status() << info.errorDomain()
                                         << info.errorCode() << info.isErrorPage();
                             }
                             if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                                 started.push_back(info.url().toString());
                             } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
                                 ++failed;
                             }
                         });
    }

    static QString title(const SetupWindow& window) {
        return window.webViewForTesting()->page()->title();
    }
    static QString url(const SetupWindow& window) {
        return window.webViewForTesting()->page()->url().toString();
    }
    static bool showsSetupPage(const SetupWindow& window) {
        return title(window) == QStringLiteral("Vantrel Agent setup") &&
               !window.webViewForTesting()->page()->isLoading();
    }
    static void click(SetupWindow& window, const QString& id) {
        window.webViewForTesting()->page()->runJavaScript(
            QStringLiteral("document.getElementById('%1').click()").arg(id));
    }
    static std::filesystem::path downloads() { return sandboxHome() / "Downloads"; }

    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::vector<QString> started;
    int failed = 0;
};

TEST_F(SetupWindowTest, ShowsTheAgentPageInACentredWindowAndKeepsLocalLinks) {
    auto agent = LoopbackServer::referenceAgent();
    ASSERT_TRUE(agent.waitUntilListening());
    auto window = makeWindow();
    EXPECT_FALSE(window->isOpen());
    showAndFollow(*window);
    EXPECT_TRUE(window->isOpen());
    EXPECT_EQ(window->windowForTesting()->windowTitle(), QStringLiteral("Vantrel Agent"));
    EXPECT_EQ(window->windowForTesting()->size(), QSize(940, 760));
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }));
    EXPECT_EQ(url(*window), kAddress);

    click(*window, QStringLiteral("about-link"));
    ASSERT_TRUE(
        waitFor([&] { return title(*window) == QStringLiteral("About the Vantrel Agent"); }));
    EXPECT_EQ(url(*window), QStringLiteral("http://127.0.0.1:8787/about"));

    click(*window, QStringLiteral("back-link"));
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }));
    click(*window, QStringLiteral("other-port-link"));
    // Nothing listens on the other port: the view tries it, then a retry brings the setup page
    // back.
    ASSERT_TRUE(waitFor([&] {
        return std::count(started.begin(), started.end(), "http://localhost:8788/") == 1 &&
               started.back() == kAddress && showsSetupPage(*window);
    }));
    EXPECT_TRUE(workspace->opened.empty());
    EXPECT_EQ(window->attemptsForTesting(), 0);
}

TEST_F(SetupWindowTest, SendsAnOutsideLinkToTheWorkspaceAndStaysOnThePage) {
    auto agent = LoopbackServer::referenceAgent();
    ASSERT_TRUE(agent.waitUntilListening());
    auto window = makeWindow();
    showAndFollow(*window);
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }));

    click(*window, QStringLiteral("outside-link"));
    ASSERT_TRUE(waitFor([&] { return !workspace->opened.empty(); }));
    EXPECT_EQ(workspace->opened, std::vector<std::string>{"https://vantrel.example/help"});
    waitFor([] { return false; }, 0.5);
    // The refused navigation ends as stopped, not failed: no retry reloads the page.
    EXPECT_EQ(url(*window), kAddress);
    EXPECT_EQ(started.front(), kAddress);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(window->attemptsForTesting(), 0);
}

TEST_F(SetupWindowTest, ShowsAgainWithoutReloadingAndReloadsAfterClosing) {
    auto agent = LoopbackServer::referenceAgent();
    ASSERT_TRUE(agent.waitUntilListening());
    auto window = makeWindow();
    showAndFollow(*window);
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }));
    window->show();
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(started.size(), 1u);

    window->windowForTesting()->close();
    EXPECT_FALSE(window->isOpen());
    window->show();
    EXPECT_TRUE(window->isOpen());
    ASSERT_TRUE(waitFor([&] { return started.size() == 2 && showsSetupPage(*window); }));
    EXPECT_EQ(started[1], kAddress);
}

TEST_F(SetupWindowTest, KeepsItsFrameUnderItsName) {
    {
        auto window = makeWindow();
        window->show();
        window->windowForTesting()->setGeometry(120, 90, 700, 500);
        waitFor([] { return false; }, 0.2);
    }
    QSettings settings(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent"));
    EXPECT_TRUE(settings.contains(QStringLiteral("SetupWindow")));
    EXPECT_TRUE(std::filesystem::path(settings.fileName().toStdString())
                    .string()
                    .starts_with(sandboxHome().string()));
    auto window = makeWindow();
    window->show();
    EXPECT_EQ(window->windowForTesting()->geometry(), QRect(120, 90, 700, 500));
}

TEST_F(SetupWindowTest, ReachesAnAgentThatStartsListeningLate) {
    auto agent = LoopbackServer::referenceAgent({"VANTREL_SIM_LISTEN_DELAY=5"});
    auto window = makeWindow();
    showAndFollow(*window);
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }, 25));
    EXPECT_GE(failed, 5);
    EXPECT_EQ(static_cast<int>(started.size()), failed + 1);
    EXPECT_EQ(window->attemptsForTesting(), 0);
}

TEST_F(SetupWindowTest, StopsRetryingAfterFortyAndShowingAgainRestoresTheBudget) {
    auto queue = std::make_shared<ManualQueue>();
    auto window = makeWindow(queue);
    showAndFollow(*window);
    for (int retry = 1; retry <= 40; ++retry) {
        ASSERT_TRUE(waitFor([&] { return queue->size() == 1; })) << retry;
        EXPECT_EQ(queue->nextDelay(), 0.5);
        EXPECT_EQ(window->attemptsForTesting(), retry);
        queue->advance(0.5);
    }
    ASSERT_TRUE(waitFor([&] { return failed == 41; }));
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(queue->size(), 0u);
    EXPECT_EQ(window->attemptsForTesting(), 40);
    EXPECT_EQ(started.size(), 41u);
    for (const auto& address : started) {
        EXPECT_EQ(address, kAddress);
    }

    window->windowForTesting()->close();
    window->show();
    EXPECT_EQ(window->attemptsForTesting(), 0);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(window->attemptsForTesting(), 1);
}

TEST_F(SetupWindowTest, RetriesALoadThatTimesOut) {
    // Listens without ever accepting: the connection opens, no answer comes.
    auto silent = LoopbackServer::pythonScript(
        "import socket, time\n"
        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind(('127.0.0.1', 8787)); s.listen(16)\n"
        "time.sleep(60)\n");
    ASSERT_TRUE(silent.waitUntilListening());
    auto queue = std::make_shared<ManualQueue>();
    auto window = makeWindow(queue);
    window->setLoadTimeoutForTesting(500);
    showAndFollow(*window);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(window->attemptsForTesting(), 1);
}

// Writes the window showing the agent's page to the PNG named by VANTREL_SCREENSHOT.
TEST_F(SetupWindowTest, Screenshot) {
    const char* output = std::getenv("VANTREL_SCREENSHOT");
    if (!output) {
        GTEST_SKIP() << "VANTREL_SCREENSHOT names no file";
    }
    auto agent = LoopbackServer::referenceAgent();
    ASSERT_TRUE(agent.waitUntilListening());
    auto window = makeWindow();
    showAndFollow(*window);
    ASSERT_TRUE(waitFor([&] { return showsSetupPage(*window); }));
    // A finished load is not yet a painted page: grab until the heading's dark text shows.
    QImage image;
    ASSERT_TRUE(waitFor([&] {
        image = window->windowForTesting()->grab().toImage();
        for (int y = 0; y < image.height() / 4; ++y) {
            for (int x = 0; x < image.width() / 2; ++x) {
                if (qGray(image.pixel(x, y)) < 64) {
                    return true;
                }
            }
        }
        return false;
    }));
    ASSERT_TRUE(image.save(QString::fromLocal8Bit(output), "PNG"));
}

}  // namespace
}  // namespace vantrel
