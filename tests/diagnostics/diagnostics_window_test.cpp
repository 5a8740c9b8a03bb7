#include "diagnostics/diagnostics_window.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <stdlib.h>

#include "../setup/gui_harness.h"
#include "reference_agent.h"
#include "support/background_queue.h"
#include "support/paths.h"

namespace vantrel {
namespace {

const char* const kExplanation =
    "Vantrel will put everything we need to look into it in one file: this agent's log, its record "
    "of what your equipment has been sending, and a short listen to it now. It takes about 20 "
    "seconds.\n\nYour pairing code, your account and the serial numbers of your equipment are "
    "taken out before the file is written. Nothing leaves this computer until you send it.";

class DiagnosticsWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    void TearDown() override {
        std::filesystem::remove_all(desktop());
        std::filesystem::remove_all(Paths::support());
    }

    void startAgent(std::vector<std::string> knobs = {}) {
        knobs.push_back("VANTREL_SIM_DIAG_SECONDS=1");
        agent = std::make_unique<testing::ReferenceAgent>(knobs);
        ASSERT_TRUE(agent->waitUntilListening()) << agent->output();
        window.setBaseForTesting(agent->base());
    }

    static std::filesystem::path desktop() {
        return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
    }

    template <typename T>
    T* find(const char* name) {
        auto* found = window.windowForTesting()->findChild<T*>(QString::fromLatin1(name));
        EXPECT_TRUE(found) << name;
        return found;
    }
    QPushButton* start() { return find<QPushButton>("start"); }
    QPushButton* reveal() { return find<QPushButton>("reveal"); }
    QProgressBar* progress() { return find<QProgressBar>("progress"); }
    std::string status() { return find<QLabel>("status")->text().toStdString(); }

    bool statusBecomes(const std::function<bool(const std::string&)>& wanted, double seconds = 15) {
        return testing::waitFor([&] { return wanted(status()); }, seconds);
    }
    bool statusStartsWith(const std::string& prefix, double seconds = 15) {
        return statusBecomes([&](const std::string& text) { return text.starts_with(prefix); },
                             seconds);
    }
    // Lets the real timer tick for a while.
    static void runFor(double seconds) {
        testing::waitFor([] { return false; }, seconds);
    }

    void expectStarting() {
        EXPECT_EQ(start()->text(), QStringLiteral("Collecting…"));
        EXPECT_FALSE(start()->isEnabled());
        EXPECT_TRUE(progress()->isVisible());
        EXPECT_EQ(progress()->value(), 0);
        EXPECT_FALSE(reveal()->isVisible());
        EXPECT_EQ(status(), "Starting…");
    }
    void expectEnded() {
        EXPECT_EQ(start()->text(), QStringLiteral("Collect again"));
        EXPECT_TRUE(start()->isEnabled());
        EXPECT_FALSE(window.isPollingForTesting());
    }

    // Grabs the window into the file named by VANTREL_SCREENSHOT_DIR, when set.
    void screenshot(const std::string& name) {
        if (const char* folder = ::getenv("VANTREL_SCREENSHOT_DIR")) {
            QApplication::processEvents();
            EXPECT_TRUE(window.windowForTesting()->grab().save(
                QString::fromStdString(std::string(folder) + "/" + name)));
        }
    }

    std::shared_ptr<testing::RecordingWorkspace> workspace =
        std::make_shared<testing::RecordingWorkspace>();
    DiagnosticsWindow window{workspace, std::make_shared<BackgroundQueue>(2)};
    std::unique_ptr<testing::ReferenceAgent> agent;
};

TEST_F(DiagnosticsWindowTest, ReadyWindowIsBuiltAsDescribed) {
    window.show();
    QWidget* frame = window.windowForTesting();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_EQ(frame->windowTitle(), QStringLiteral("Vantrel Diagnostics"));
    EXPECT_EQ(frame->size(), QSize(460, 250));
    EXPECT_FALSE(frame->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(frame->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(frame->minimumSize(), frame->maximumSize()) << "not resizable";

    auto* heading = find<QLabel>("heading");
    EXPECT_EQ(heading->text(), QStringLiteral("Something not adding up?"));
    EXPECT_TRUE(heading->font().bold());
    EXPECT_EQ(heading->font().pointSizeF(), 15);
    auto* explanation = find<QLabel>("explanation");
    EXPECT_EQ(explanation->text().toStdString(), kExplanation);
    EXPECT_EQ(explanation->font().pointSizeF(), 12);
    EXPECT_EQ(explanation->width(), 400);

    EXPECT_FALSE(progress()->isVisible());
    EXPECT_EQ(status(), "");
    EXPECT_EQ(start()->text(), QStringLiteral("Collect diagnostics"));
    EXPECT_TRUE(start()->isEnabled());
    EXPECT_TRUE(start()->isDefault());
    EXPECT_EQ(reveal()->text(), QStringLiteral("Show in Folder"));
    EXPECT_FALSE(reveal()->isVisible());
    EXPECT_FALSE(window.isPollingForTesting());
}

TEST_F(DiagnosticsWindowTest, CollectsSavesAndRevealsTheArchive) {
    startAgent();
    window.show();
    start()->click();
    expectStarting();
    const int startingHeight = window.windowForTesting()->height();

    ASSERT_TRUE(statusBecomes([](const std::string& text) {
        return !text.empty() && text != "Starting…";
    })) << status();
    EXPECT_TRUE(window.isPollingForTesting());
    EXPECT_EQ(start()->text(), QStringLiteral("Collecting…"));
    EXPECT_TRUE(testing::waitFor([&] { return progress()->value() > 0; }));

    ASSERT_TRUE(statusStartsWith("Saved to ")) << status();
    expectEnded();
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(desktop())) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].filename().string().starts_with("vantrel-diagnostics-"));
    EXPECT_TRUE(testing::isZipArchive(files[0]));
    EXPECT_EQ(status(),
              "Saved to " + files[0].string() + "\n\nEmail it to support@vantrel.energy.");
    EXPECT_TRUE(progress()->isVisible());
    EXPECT_EQ(progress()->value(), progress()->maximum());
    EXPECT_TRUE(reveal()->isVisible());
    EXPECT_GT(window.windowForTesting()->height(), startingHeight) << "refits to the longer text";
    EXPECT_EQ(window.windowForTesting()->width(), 460);
    screenshot("diagnostics-saved.png");

    reveal()->click();
    EXPECT_EQ(workspace->revealed, files);

    // A new run forgets the saved file until it has saved again.
    start()->click();
    expectStarting();
    reveal()->click();
    EXPECT_EQ(workspace->revealed.size(), 1u);
    ASSERT_TRUE(statusStartsWith("Saved to "));
}

TEST_F(DiagnosticsWindowTest, AgentErrorEndsTheRunAsFailed) {
    startAgent({"VANTREL_SIM_DIAG_ERROR=the inverter did not answer"});
    window.show();
    start()->click();
    ASSERT_TRUE(statusStartsWith("Could not collect it: ")) << status();
    EXPECT_EQ(status(), "Could not collect it: the inverter did not answer");
    expectEnded();
    EXPECT_FALSE(progress()->isVisible());
    EXPECT_FALSE(reveal()->isVisible());
    EXPECT_FALSE(std::filesystem::exists(desktop()));
    screenshot("diagnostics-failed.png");
}

TEST_F(DiagnosticsWindowTest, EmptyArchiveIsSaidAndNotSaved) {
    startAgent({"VANTREL_SIM_DIAG_EMPTY=1"});
    window.show();
    start()->click();
    ASSERT_TRUE(statusStartsWith("The file came back empty.")) << status();
    expectEnded();
    EXPECT_TRUE(progress()->isVisible());
    EXPECT_FALSE(reveal()->isVisible());
    EXPECT_FALSE(std::filesystem::exists(desktop()));
}

TEST_F(DiagnosticsWindowTest, MalformedProgressAnswersAreSkipped) {
    startAgent({"VANTREL_SIM_DIAG_MALFORMED=1"});
    window.show();
    start()->click();
    ASSERT_TRUE(statusStartsWith("Saved to ")) << status();
    EXPECT_TRUE(reveal()->isVisible());
}

TEST_F(DiagnosticsWindowTest, SavesInTheSupportFolderWhenTheDesktopWillNotTakeIt) {
    startAgent();
    testing::writeFile(desktop(), "a file where the Desktop folder should be");
    window.show();
    start()->click();
    ASSERT_TRUE(statusStartsWith("Saved to " + Paths::support().string() + "/")) << status();
    std::filesystem::remove_all(Paths::support());
    testing::writeFile(Paths::support(), "and one where the support folder should be");
    start()->click();
    ASSERT_TRUE(statusStartsWith("Could not save the file anywhere writable.")) << status();
    expectEnded();
    EXPECT_FALSE(reveal()->isVisible());
    std::filesystem::remove(desktop());
    std::filesystem::remove(Paths::support());
}

TEST_F(DiagnosticsWindowTest, UnreachableAgentKeepsStartingAndPolling) {
    window.setBaseForTesting("http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()));
    window.show();
    start()->click();
    runFor(2.5);
    expectStarting();
    EXPECT_TRUE(window.isPollingForTesting());
    window.windowForTesting()->close();
    EXPECT_FALSE(window.isPollingForTesting());
}

TEST_F(DiagnosticsWindowTest, ShowingAgainResumesARunClosedMidway) {
    startAgent({"VANTREL_SIM_DIAG_SECONDS=2"});
    window.show();
    start()->click();
    ASSERT_TRUE(testing::waitFor([&] { return window.isPollingForTesting(); }));
    window.windowForTesting()->close();
    EXPECT_FALSE(window.isPollingForTesting());
    runFor(3);
    EXPECT_FALSE(status().starts_with("Saved to ")) << "nothing polls while closed";
    EXPECT_FALSE(start()->isEnabled());

    window.show();
    EXPECT_TRUE(window.windowForTesting()->isVisible());
    ASSERT_TRUE(statusStartsWith("Saved to ")) << status();
    expectEnded();

    // Shown once more after the run: the last text and "Collect again" stay.
    window.windowForTesting()->close();
    window.show();
    EXPECT_TRUE(status().starts_with("Saved to "));
    EXPECT_EQ(start()->text(), QStringLiteral("Collect again"));
}

TEST_F(DiagnosticsWindowTest, ReturnPressesTheStartButtonWhileItIsEnabled) {
    window.setBaseForTesting("http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()));
    window.show();
    QWidget* frame = window.windowForTesting();
    QApplication::setActiveWindow(frame);
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    QTest::keyClick(frame, Qt::Key_Return);
    ASSERT_TRUE(testing::waitFor([&] { return status() == "Starting…"; }, 3)) << status();
    expectStarting();
}

TEST_F(DiagnosticsWindowTest, AnswersForAWindowThatIsGoneAreDropped) {
    startAgent();
    auto doomed =
        std::make_unique<DiagnosticsWindow>(workspace, std::make_shared<BackgroundQueue>(1));
    doomed->setBaseForTesting(agent->base());
    doomed->show();
    doomed->startRun();
    ASSERT_TRUE(testing::waitFor([&] { return doomed->isPollingForTesting(); }));
    doomed.reset();
    runFor(2.5);
    EXPECT_FALSE(std::filesystem::exists(desktop()));
    EXPECT_TRUE(workspace->revealed.empty());
}

}  // namespace
}  // namespace vantrel
