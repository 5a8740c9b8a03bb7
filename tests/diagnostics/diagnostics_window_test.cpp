#include "diagnostics/diagnostics_window.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include "../setup/gui_harness.h"
#include "support/background_queue.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

// Every shown part of the window's content lies inside it, below the one before it, and has at
// least the height its text needs at its width.
void expectContentFits(QWidget* frame) {
    QApplication::processEvents();
    int bottom = 0;
    for (auto* item : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QRect box = item->geometry();
        SCOPED_TRACE(item->objectName().toStdString());
        EXPECT_TRUE(!item->isVisible() || box.bottom() <= frame->height()) << "expected inside";
        if (item->isVisible() && !qobject_cast<QPushButton*>(item)) {
            EXPECT_GE(box.top(), bottom) << "expected below the one before";
            EXPECT_GE(box.height(),
                      item->hasHeightForWidth() ? item->heightForWidth(box.width()) : 0)
                << "expected the height its text needs";
            bottom = box.bottom();
        }
    }
    EXPECT_EQ(frame->width(), 460);
}

// The real window against the reference agent; the run's decisions have their own table. Also run
// with QT_SCALE_FACTOR=2 (see CMakeLists.txt).
TEST(DiagnosticsWindowTest, ARunFromTheFirstViewSavesTheArchiveAndRevealsIt) {
    testing::startGuiApplication();
    testing::PythonServer agent({"VANTREL_SIM_DIAG_SECONDS=1"});
    ASSERT_TRUE(agent.waitUntilListening()) << agent.output();
    auto workspace = std::make_shared<testing::RecordingWorkspace>();
    testing::TempDir data;
    DiagnosticsWindow window(workspace, std::make_shared<BackgroundQueue>(2),
                             std::make_shared<QtMainQueue>(), data.path());
    window.setBaseForTesting(agent.base());
    window.show();
    QWidget* frame = window.windowForTesting();
    auto* start = frame->findChild<QPushButton*>(QStringLiteral("start"));
    auto* status = frame->findChild<QLabel*>(QStringLiteral("status"));
    testing::step("the first view fits its content, without a progress bar", [&] {
        EXPECT_EQ(frame->windowTitle(), QStringLiteral("Vantrel Diagnostics"));
        EXPECT_FALSE(frame->findChild<QProgressBar*>(QStringLiteral("progress"))->isVisible())
            << "expected no progress bar";
        expectContentFits(frame);
    });
    testing::step("a run saves the agent's archive to the Desktop, says so and reveals it", [&] {
        start->click();
        EXPECT_EQ(status->text(), QStringLiteral("Starting…"));
        EXPECT_FALSE(start->isEnabled()) << "expected the button disabled while collecting";
        ASSERT_TRUE(testing::waitFor([&] { return status->text().startsWith("Saved to "); }))
            << "expected \"Saved to …\", got " << status->text().toStdString();
        const auto desktop = std::filesystem::path(std::getenv("HOME")) / "Desktop";
        std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(desktop), {});
        ASSERT_EQ(files.size(), 1u) << "expected one archive on the Desktop";
        EXPECT_TRUE(files[0].filename().string().starts_with("vantrel-diagnostics-")) << files[0];
        EXPECT_EQ(status->text().toStdString(),
                  "Saved to " + files[0].string() + "\n\nEmail it to support@vantrel.energy.");
        EXPECT_EQ(start->text(), QStringLiteral("Collect again"));
        expectContentFits(frame);
        frame->findChild<QPushButton*>(QStringLiteral("reveal"))->click();
        EXPECT_EQ(workspace->revealed, files);
    });
}

}  // namespace
}  // namespace vantrel
