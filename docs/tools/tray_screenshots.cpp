// Grabs the pictures of the desktop application for docs/screenshots/: the open tray menu and the
// status window shown when there is no tray.
// Not a test: docs/tools/tray-screenshots builds and runs it.

#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/app_delegate.h"
#include "menubar/notices.h"
#include "menubar/status_menu.h"
#include "setup/gui_harness.h"
#include "support/background_queue.h"
#include "support/manual_queue.h"
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

// What a picture does not need: keep-awake and the login item stay off, no update installs.
class NoKeepAwake final : public KeepAwake {
  public:
    void hold(Answer answer) override { answer(false); }
    void release() override {}
    bool isHeld() const override { return false; }
};

class NoLoginItem final : public LoginItem {
  public:
    bool isEnabled() const override { return false; }
    std::optional<std::string> enable() override { return "not while taking pictures"; }
    std::optional<std::string> disable() override { return std::nullopt; }
};

class NoInstaller final : public UpdateInstaller {
  public:
    UpdateResult install(const Manifest&) override {
        return UpdateResult::failed(reasons::kCouldNotPrepare);
    }
};

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

// Grabs the widget once it is shown and painted, and saves it in `folder`.
bool keep(QWidget& widget, const std::filesystem::path& folder, const char* name) {
    QImage image;
    bool ready = waitFor(
        [&] {
            image = widget.grab().toImage();
            return widget.isVisible() && painted(image);
        },
        15);
    auto file = (folder / name).string();
    bool saved = ready && image.save(QString::fromStdString(file));
    std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not grab", file.c_str());
    return saved;
}

StatusMenu::Parts parts(const testing::TempDir& dir) {
    auto alerts = std::make_shared<testing::RecordingAlerts>();
    auto workspace = std::make_shared<testing::RecordingWorkspace>();
    auto background = std::make_shared<BackgroundQueue>();
    auto never = std::make_shared<testing::ManualQueue>();  // no update check runs
    auto mainQueue = std::make_shared<QtMainQueue>();
    auto settings = std::make_shared<QSettings>(
        QString::fromStdString((dir / "settings.ini").string()), QSettings::IniFormat);
    return {
        .agent = AgentProcess::create(bundledAgent(dir), mainQueue, background),
        .updater = Updater::create(never, never, std::make_shared<NoInstaller>(), std::nullopt,
                                   dir.path()),
        .setup = std::make_unique<SetupWindow>(std::filesystem::path(VANTREL_BUNDLE_DIR) /
                                               SetupWindow::kProgram),
        .diagnostics =
            std::make_unique<DiagnosticsWindow>(workspace, background, mainQueue, dir.path()),
        .networkWarning = std::make_unique<NetworkWarning>(
            background, mainQueue, [] { return LocalNetwork::Verdict::reachable; }),
        .keepAwake = std::make_unique<NoKeepAwake>(),
        .loginItem = std::make_unique<NoLoginItem>(),
        .settings = settings,
        .alerts = alerts,
        .workspace = workspace,
        .notices = std::make_shared<Notices>([] { return 0.0; }),
        .build = Build{"http://127.0.0.1:9"},
        .log = dir / "agent.log",
    };
}

// A start by the user on a desktop without a tray: the setup window and the status window open;
// the tray menu is popped up by hand once the agent reports readings.
bool grabAll(const std::filesystem::path& folder) {
    testing::startGuiApplication();
    testing::TempDir dir;
    auto menu = std::make_unique<StatusMenu>(parts(dir));
    StatusMenu* status = menu.get();
    AppDelegate app(std::move(menu), std::make_shared<testing::RecordingAlerts>(),
                    {.loginItem = false, .cannotStart = std::nullopt});
    app.applicationDidFinishLaunching();

    // The setup window is a process of its own; window-screenshots pictures its page.
    status->setupForTesting()->close();

    QMenu* tray = status->menuForTesting();
    bool ok = waitFor([&] { return tray->actions().front()->text().startsWith("Solar"); }, 15);
    ok = keep(*status->statusWindow().window(), folder, "status-window.png") && ok;
    status->statusWindow().hide();
    tray->popup(QPoint(40, 40));
    ok = keep(*tray, folder, "tray-menu.png") && ok;
    tray->hide();
    status->stop();
    return ok;
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: tray_screenshots FOLDER\n", stderr);
        return 2;
    }
    return vantrel::grabAll(argv[1]) ? 0 : 1;
}
