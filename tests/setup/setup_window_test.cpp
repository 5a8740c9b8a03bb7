#include "setup/setup_window.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <QDBusConnection>
#include <QDesktopServices>
#include <QSettings>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include <fstream>

#include "gui_harness.h"
#include "setup/setup_web_window.h"
#include "support/manual_queue.h"
#include "support/qt_main_queue.h"
#include "support/qt_workspace.h"

namespace vantrel {
namespace {

using namespace vantrel::testing;

const QString kAddress = QStringLiteral("http://127.0.0.1:8787/");

// The real workspace's two ways out: a handler for web addresses and a file manager on the bus.
class Desktop : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
  public:
    QStringList opened, shown;
  public slots:
    void open(const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); }
    void ShowItems(const QStringList& uris, const QString&) { shown += uris; }
};

// Web-engine helpers whose parent is one of `parents`.
int engineHelpersUnder(const std::vector<pid_t>& parents) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
        if (error || exe.filename() != "QtWebEngineProcess") {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line((std::istreambuf_iterator<char>(stat)), {});
        if (line.empty()) {
            continue;
        }
        auto parent = std::stoi(line.substr(line.rfind(')') + 4));
        count += std::find(parents.begin(), parents.end(), parent) != parents.end();
    }
    return count;
}

class SetupWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startGuiApplication(); }

    // Shows the window and follows its page's loads.
    void showAndFollow() {
        window.show();
        QObject::connect(page(), &QWebEnginePage::loadingChanged,
                         [this](const QWebEngineLoadingInfo& info) {
                             if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                                 started.push_back(info.url().toString());
                             }
                         });
    }
    QWebEnginePage* page() const { return window.webViewForTesting()->page(); }
    bool shows(const char* title) const {
        return page()->title() == QString::fromUtf8(title) && !page()->isLoading();
    }
    void click(const char* id) {
        page()->runJavaScript(
            QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(id)));
    }

    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    SetupWebWindow window{
        std::make_shared<QtWorkspace>(), alerts,
        std::make_shared<QSettings>(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent")),
        queue, 0.2};
    std::vector<QString> started;
};

TEST_F(SetupWindowTest, ShowsTheAgentsPagesSendsOthersOutAndSavesDownloads) {
    PythonServer agent({}, 8787);
    ASSERT_TRUE(agent.waitUntilListening()) << agent.output();
    Desktop desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &desktop, "open");
    auto bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &desktop,
                                   QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    showAndFollow();
    EXPECT_EQ(window.windowForTesting()->windowTitle(), QStringLiteral("Vantrel Agent"));
    ASSERT_TRUE(waitFor([&] { return shows("Vantrel Agent setup"); }));
    click("about-link");
    ASSERT_TRUE(waitFor([&] { return shows("About the Vantrel Agent"); }));
    click("back-link");
    ASSERT_TRUE(waitFor([&] { return shows("Vantrel Agent setup"); }));
    click("outside-link");
    ASSERT_TRUE(waitFor([&] { return !desktop.opened.empty(); }));
    EXPECT_EQ(desktop.opened, QStringList{"https://vantrel.example/help"});
    EXPECT_EQ(page()->url().toString(), kAddress);

    // A download lands under the first free name in Downloads and is shown in the file manager.
    const auto downloads = sandboxHome() / "Downloads";
    writeFile(downloads / "readings.csv", "first");
    click("download-link");
    ASSERT_TRUE(waitFor([&] { return !desktop.shown.empty() || !alerts->shown.empty(); }));
    EXPECT_EQ(desktop.shown, QStringList{"file://" + QString::fromStdString(downloads.string()) +
                                         "/readings%202.csv"});
    EXPECT_TRUE(readFile(downloads / "readings 2.csv").starts_with("time,"));
    EXPECT_EQ(readFile(downloads / "readings.csv"), "first");

    // Shown while open: brought forward, not reloaded.
    const auto loads = started.size();
    window.show();
    EXPECT_EQ(started.size(), loads);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    bus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
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
    showAndFollow();
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1; }));
    EXPECT_EQ(queue->nextDelay(), 0.5);
    EXPECT_EQ(window.loadingForTesting().attempts, 1);
    queue->advance(0.5);
    ASSERT_TRUE(waitFor([&] { return queue->size() == 1 && started.size() == 2; }));
    EXPECT_EQ(started[1], kAddress);
    EXPECT_EQ(window.loadingForTesting().attempts, 2);
}

// The window's process, with its web-engine helpers, lives only while the window is open; a crash
// of it is a closed window.
TEST(SetupWindowProcessTest, ClosingEndsTheWindowsProcessAndAShowLoadsAnew) {
    startGuiApplication();
    AdoptOrphans adopt;  // the helpers of an ended window become ours to watch
    PythonServer page({}, 8787,
                      "import http.server, os\n"
                      "class Page(http.server.BaseHTTPRequestHandler):\n"
                      "    def do_GET(self):\n"
                      "        print('GET', self.path, flush=True)\n"
                      "        self.send_response(200)\n"
                      "        self.end_headers()\n"
                      "        self.wfile.write(b'<title>setup</title>')\n"
                      "http.server.HTTPServer(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])),"
                      " Page).serve_forever()\n");
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    auto loads = [&] {
        auto text = page.output();
        int count = 0;
        for (auto at = text.find("GET /\n"); at != std::string::npos;
             at = text.find("GET /\n", at + 1)) {
            ++count;
        }
        return count;
    };
    SetupWindow window(std::filesystem::path(VANTREL_BUNDLE_DIR) / SetupWindow::kProgram);
    window.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 1; }, 60));
    const pid_t first = *window.pidForTesting();
    ASSERT_TRUE(waitFor([&] { return engineHelpersUnder({first}) > 0; }));

    window.close();
    ASSERT_TRUE(waitFor([&] { return !window.isOpen() && !window.pidForTesting(); }, 60));
    EXPECT_TRUE(waitFor([&] { return engineHelpersUnder({first, ::getpid()}) == 0; }, 60));

    window.show();
    EXPECT_TRUE(window.isOpen());
    ASSERT_TRUE(waitFor([&] { return loads() == 2; }, 60));
    EXPECT_NE(window.pidForTesting(), first);
    ::kill(*window.pidForTesting(), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !window.isOpen() && !window.pidForTesting(); }));
    window.show();
    ASSERT_TRUE(waitFor([&] { return loads() == 3; }, 60));
}

}  // namespace
}  // namespace vantrel

#include "setup_window_test.moc"
