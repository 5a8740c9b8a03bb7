#include <QImage>
#include <QWebEngineView>

#include <cstdlib>

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "menubar/tray_test_kit.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

using testing::waitFor;

// The bundle's own interpreter and reference agent, paired, so that the menu shows live readings.
AgentConfig bundledAgent(const testing::TempDir& dir) {
    std::filesystem::path resources = std::filesystem::path(VANTREL_BUNDLE_DIR) / "Resources";
    ::setenv("VANTREL_SIM_PAIRED", "1", 1);
    ::setenv("VANTREL_SIM_INTERVAL", "0.2", 1);
    return AgentConfig{
        .python = resources / "python/bin/python3",
        .pythonHome = resources / "python",
        .pythonPath = resources / "lib",
        .state = dir / "agent.json",
        .spool = dir / "spool.db",
        .pidFile = dir / "agent.pid",
        .log = dir / "agent.log",
        .apiBase = "http://127.0.0.1:8790/api",
    };
}

// True when the image holds more than one colour: something was painted.
bool painted(const QImage& image) {
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            if (image.pixel(x, y) != image.pixel(0, 0)) {
                return true;
            }
        }
    }
    return false;
}

// Saved where VANTREL_SCREENSHOT_DIR says, when it is set (docs/screenshots.md).
void keep(const QImage& image, const char* name) {
    if (const char* folder = std::getenv("VANTREL_SCREENSHOT_DIR"); folder && *folder) {
        ASSERT_TRUE(
            image.save(QString::fromStdString((std::filesystem::path(folder) / name).string())));
    }
}

// After a start by the user: the setup window on the agent's page, and the tray menu opened over
// it with the agent's live state.
TEST(TrayScreenshotTest, TheSetupWindowAfterAStartAndTheOpenTrayMenu) {
    testing::startGuiApplication();
    testing::TempDir dir;
    auto alerts = std::make_shared<testing::RecordingAlerts>();
    auto workspace = std::make_shared<testing::RecordingWorkspace>();
    auto background = std::make_shared<BackgroundQueue>();
    auto agent =
        AgentProcess::create(bundledAgent(dir), std::make_shared<QtMainQueue>(), background);
    auto never = std::make_shared<testing::ManualQueue>();  // no update check runs
    auto menu = std::make_unique<StatusMenu>(StatusMenu::Parts{
        .agent = agent,
        .updater = Updater::create(never, never, std::make_shared<testing::RefusingInstaller>(),
                                   dir.path()),
        .setup = std::make_unique<SetupWindow>(workspace, alerts),
        .diagnostics = std::make_unique<DiagnosticsWindow>(workspace, background),
        .networkWarning =
            std::make_unique<NetworkWarning>(background, std::make_shared<QtMainQueue>(),
                                             [] { return LocalNetwork::Verdict::reachable; }),
        .keepAwake = std::make_unique<testing::FakeKeepAwake>(),
        .loginItem = std::make_unique<testing::FakeLoginItem>(),
        .settings = std::make_unique<QSettings>(
            QString::fromStdString((dir / "settings.ini").string()), QSettings::IniFormat),
        .alerts = alerts,
        .workspace = workspace,
        .build = {.isProduction = false, .apiLabel = "127.0.0.1"},
    });
    StatusMenu* status = menu.get();
    AppDelegate app(std::move(menu), alerts, false);
    app.applicationDidFinishLaunching();

    auto* window = status->setupForTesting()->windowForTesting();
    auto* view = status->setupForTesting()->webViewForTesting();
    ASSERT_TRUE(waitFor([&] { return view->title() == "Vantrel Agent setup"; }, 30));
    QImage page;
    ASSERT_TRUE(waitFor(
        [&] {
            page = window->grab().toImage();
            return painted(page);
        },
        15));
    keep(page, "tray-setup-after-start.png");

    QMenu* tray = status->menuForTesting();
    ASSERT_TRUE(waitFor([&] { return tray->actions().front()->text().startsWith("Solar"); }, 15));
    tray->popup(QPoint(40, 40));
    QImage opened;
    ASSERT_TRUE(waitFor(
        [&] {
            opened = tray->grab().toImage();
            return tray->isVisible() && painted(opened);
        },
        5));
    keep(opened, "tray-menu.png");
    tray->hide();
    window->close();
    status->stop();
}

}  // namespace
}  // namespace vantrel
