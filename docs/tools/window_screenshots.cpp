// Makes the pictures of the setup and diagnostics windows in docs/screenshots/: the setup window
// on the reference agent's page, and the diagnostics window after a saved and after a failed run.
// Run through docs/tools/window-screenshots, which gives it a network namespace of its own (the
// agent serves the fixed port 8787), a temporary home and a virtual display.

#include <QApplication>
#include <QImage>
#include <QSettings>
#include <QWebEngineView>
#include <QWidget>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/diagnostics_window.h"
#include "setup/gui_harness.h"
#include "setup/setup_web_window.h"
#include "support/background_queue.h"
#include "support/qt_main_queue.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

using testing::waitFor;

// The reference agent on the setup page's fixed port, with extra NAME=value knobs; ended with
// the run it serves.
std::unique_ptr<testing::PythonServer> referenceAgent(std::vector<std::string> knobs) {
    knobs.push_back("VANTREL_SIM_DIAG_SECONDS=1");
    auto agent = std::make_unique<testing::PythonServer>(knobs, 8787);
    agent->waitUntilListening();
    return agent;
}

// A finished load is not yet a painted page: grab until the heading's dark text shows.
bool savePainted(QWidget* window, const std::filesystem::path& file) {
    QImage image;
    const bool painted = waitFor([&] {
        image = window->grab().toImage();
        for (int y = 0; y < image.height() / 4; ++y) {
            for (int x = 0; x < image.width() / 2; ++x) {
                if (qGray(image.pixel(x, y)) < 64) {
                    return true;
                }
            }
        }
        return false;
    });
    return painted && image.save(QString::fromStdString(file.string()), "PNG");
}

bool setupWindow(const std::filesystem::path& out) {
    auto agent = referenceAgent({});
    SetupWebWindow window(
        std::make_shared<testing::RecordingWorkspace>(),
        std::make_shared<testing::RecordingAlerts>(),
        std::make_shared<QSettings>(QStringLiteral("Vantrel"), QStringLiteral("Vantrel Agent")),
        std::make_shared<QtMainQueue>());
    window.show();
    auto* page = window.webViewForTesting()->page();
    return waitFor([&] {
               return page->title() == QStringLiteral("Vantrel Agent setup") && !page->isLoading();
           }) &&
           savePainted(window.windowForTesting(), out / "setup-window.png");
}

bool diagnosticsRun(DiagnosticsWindow& window, const std::vector<std::string>& knobs,
                    DiagnosticsRun::Phase end, const std::filesystem::path& file) {
    auto agent = referenceAgent(knobs);
    window.show();
    window.startRun();
    if (!waitFor([&] { return window.runForTesting().phase == end; })) {
        return false;
    }
    QApplication::processEvents();
    return window.windowForTesting()->grab().save(QString::fromStdString(file.string()), "PNG");
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
    using namespace vantrel;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    if (!setupWindow(out)) {
        std::fputs("the setup window never showed the agent's page\n", stderr);
        return 1;
    }
    vantrel::testing::TempDir data;
    DiagnosticsWindow diagnostics(std::make_shared<vantrel::testing::RecordingWorkspace>(),
                                  std::make_shared<BackgroundQueue>(2),
                                  std::make_shared<QtMainQueue>(), data.path());
    using Phase = DiagnosticsRun::Phase;
    if (!diagnosticsRun(diagnostics, {}, Phase::saved, out / "diagnostics-saved.png") ||
        !diagnosticsRun(diagnostics, {"VANTREL_SIM_DIAG_ERROR=the inverter did not answer"},
                        Phase::failed, out / "diagnostics-failed.png")) {
        std::fputs("a diagnostics run did not end as expected\n", stderr);
        return 1;
    }
    return 0;
}
