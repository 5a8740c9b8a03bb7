#include "diagnostics/diagnostics_window.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include "../setup/gui_harness.h"
#include "support/background_queue.h"
#include "support/qt_main_queue.h"

namespace vantrel {
namespace {

// The real window against the reference agent; the run's decisions have their own table.
class DiagnosticsWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }
    void TearDown() override { std::filesystem::remove_all(desktop); }

    template <typename T = QPushButton>
    T* find(const char* name) {
        auto* found = window.windowForTesting()->findChild<T*>(QString::fromLatin1(name));
        EXPECT_TRUE(found) << name;
        return found;
    }
    std::string status() { return find<QLabel>("status")->text().toStdString(); }

    // Every shown part of the content lies inside the window, below the one before it, and has
    // at least the height its text needs at its width.
    void expectContentFits() {
        QWidget* frame = window.windowForTesting();
        QApplication::processEvents();
        int bottom = 0;
        for (auto* item : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!item->isVisible() || qobject_cast<QPushButton*>(item)) {
                continue;
            }
            const QRect box = item->geometry();
            SCOPED_TRACE(item->objectName().toStdString());
            EXPECT_GE(box.top(), bottom);
            EXPECT_LE(box.bottom(), frame->height());
            if (item->hasHeightForWidth()) {
                EXPECT_GE(box.height(), item->heightForWidth(box.width()));
            }
            bottom = box.bottom();
        }
        EXPECT_LE(find("start")->geometry().bottom(), frame->height());
        EXPECT_EQ(frame->width(), 460);
    }

    const std::filesystem::path desktop =
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
    std::shared_ptr<testing::RecordingWorkspace> workspace =
        std::make_shared<testing::RecordingWorkspace>();
    DiagnosticsWindow window{workspace, std::make_shared<BackgroundQueue>(2),
                             std::make_shared<QtMainQueue>()};
};

// Also run with QT_SCALE_FACTOR=2 (see CMakeLists.txt).
TEST_F(DiagnosticsWindowTest, FirstViewFitsItsContent) {
    window.show();
    EXPECT_EQ(window.windowForTesting()->windowTitle(), QStringLiteral("Vantrel Diagnostics"));
    EXPECT_EQ(find("start")->text(), QStringLiteral("Collect diagnostics"));
    EXPECT_FALSE(find<QProgressBar>("progress")->isVisible());
    expectContentFits();
}

TEST_F(DiagnosticsWindowTest, CollectsSavesAndRevealsTheArchive) {
    testing::PythonServer agent({"VANTREL_SIM_DIAG_SECONDS=1"});
    ASSERT_TRUE(agent.waitUntilListening()) << agent.output();
    window.setBaseForTesting(agent.base());
    window.show();
    find("start")->click();
    EXPECT_EQ(status(), "Starting…");
    EXPECT_FALSE(find("start")->isEnabled());
    ASSERT_TRUE(testing::waitFor([&] { return status().starts_with("Saved to "); })) << status();

    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(desktop), {});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].filename().string().starts_with("vantrel-diagnostics-"));
    // Python's zipfile module can list and test it.
    testing::RunningApp check(VANTREL_SYSTEM_PYTHON, {"-m", "zipfile", "-t", files[0].string()},
                              currentEnvironment());
    EXPECT_EQ(check.waitForExit(), 0) << check.output();
    EXPECT_TRUE(testing::readFile(files[0]).starts_with("PK\x03\x04"));
    EXPECT_EQ(status(),
              "Saved to " + files[0].string() + "\n\nEmail it to support@vantrel.energy.");
    EXPECT_EQ(find("start")->text(), QStringLiteral("Collect again"));
    expectContentFits();
    find("reveal")->click();
    EXPECT_EQ(workspace->revealed, files);
}

}  // namespace
}  // namespace vantrel
