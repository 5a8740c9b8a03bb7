#include <signal.h>

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include "menubar/status_icon.h"
#include "support/paths.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::actionTitled;
using testing::MenuUnderTest;
using testing::rowsOf;
using testing::waitFor;

const BuildFlavour kTestBuild{.isProduction = false, .apiLabel = "127.0.0.1"};
const BuildFlavour kProduction{.isProduction = true, .apiLabel = "api.vantrel.energy"};

QKeySequence control(Qt::Key key) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier, key));
}

class StatusMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    void trigger(MenuUnderTest& tray, const std::string& title) {
        QAction* action = actionTitled(*tray.menu->menuForTesting(), title);
        ASSERT_NE(action, nullptr) << title;
        action->trigger();
    }
};

struct ExpectedRow {
    std::string title;
    bool enabled;
    bool checkable;
    QKeySequence key;
    bool visible = true;
};

void expectRows(const QMenu& menu, const std::vector<ExpectedRow>& expected) {
    auto rows = rowsOf(menu);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i + 1) + " " + expected[i].title);
        EXPECT_EQ(rows[i].title, expected[i].title);
        EXPECT_EQ(rows[i].enabled, expected[i].enabled);
        EXPECT_EQ(rows[i].visible, expected[i].visible);
        EXPECT_EQ(rows[i].checkable, expected[i].checkable);
        EXPECT_EQ(rows[i].key, expected[i].key);
    }
}

std::vector<ExpectedRow> commandRows() {
    return {
        {"", false, false, {}, false},  // Qt reports a hidden action as disabled
        {"-", true, false, {}},
        {"Open Vantrel Agent", true, false, control(Qt::Key_O)},
        {"Restart agent", true, false, {}},
        {"Show log", true, false, {}},
        {"Run diagnostics…", true, false, {}},
        {"Check for updates…", true, false, {}},
        {"-", true, false, {}},
        {"Start at login", true, true, {}},
        {"Keep this computer awake", true, true, {}},
        {"-", true, false, {}},
        {"Quit Vantrel Agent", true, false, control(Qt::Key_Q)},
    };
}

TEST_F(StatusMenuTest, TestBuildShowsItsCloudOnTheSecondLine) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    auto expected = commandRows();
    expected.insert(expected.begin(),
                    {{"Starting…", false, false, {}},
                     {"\u26A0\uFE0E Test build \u2014 127.0.0.1", false, false, {}}});
    expectRows(*tray.menu->menuForTesting(), expected);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, ProductionBuildGoesFromTheStateLineStraightToTheSeparator) {
    MenuUnderTest tray(kProduction);
    tray.menu->start();
    auto expected = commandRows();
    expected.insert(expected.begin(), {"Starting…", false, false, {}});
    expectRows(*tray.menu->menuForTesting(), expected);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, NothingIsShownOrStartedBeforeStart) {
    MenuUnderTest tray(kTestBuild);
    EXPECT_EQ(tray.menu->trayForTesting(), nullptr);
    EXPECT_TRUE(tray.menu->menuForTesting()->actions().isEmpty());
    EXPECT_FALSE(tray.agent->pidForTesting());
    // A stop before any start finds nothing to stop.
    tray.menu->stop();
    EXPECT_FALSE(tray.agent->pidForTesting());
}

// Only the first line follows the agent: the icon and tool tip stay, also while the menu is open
// when the agent crashes.
TEST_F(StatusMenuTest, FirstLineFollowsTheRealAgentsStates) {
    MenuUnderTest tray(kTestBuild,
                       "echo 'Waiting to be paired'\nsleep 0.4\n"
                       "echo 'pv=2.5kW grid=-1.234kW'\nsleep 0.4\nexit 3\n");
    QMenu* menu = tray.menu->menuForTesting();
    std::vector<std::string> titles;
    tray.menu->start();
    QAction* line = menu->actions().front();
    QObject::connect(line, &QAction::changed, [&] {
        if (titles.empty() || titles.back() != line->text().toStdString()) {
            titles.push_back(line->text().toStdString());
        }
    });
    auto* icon = tray.menu->trayForTesting();
    auto iconKey = icon->icon().cacheKey();
    menu->popup(QPoint(10, 10));

    ASSERT_TRUE(waitFor([&] { return line->text().startsWith("Stopped"); }, 10));
    EXPECT_TRUE(menu->isVisible());
    std::vector<std::string> expected{
        "Waiting to be paired", "Solar 2.5 kW \u00B7 exporting 1.23 kW", "Stopped \u2014 exited 3"};
    EXPECT_EQ(std::vector<std::string>(titles.begin(), titles.begin() + 3), expected);
    EXPECT_EQ(icon->toolTip(), "Vantrel Agent");
    EXPECT_EQ(icon->icon().cacheKey(), iconKey);
    menu->hide();
    tray.menu->stop();
}

TEST_F(StatusMenuTest, OpeningTheMenuRefreshesBothCheckMarks) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    auto* login = actionTitled(*tray.menu->menuForTesting(), "Start at login");
    auto* awake = actionTitled(*tray.menu->menuForTesting(), "Keep this computer awake");
    tray.loginItem->enabled = true;
    tray.keepAwake->held = true;
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(awake->isChecked());
    tray.loginItem->enabled = false;
    tray.keepAwake->held = false;
    emit tray.menu->menuForTesting()->aboutToShow();
    EXPECT_FALSE(login->isChecked());
    EXPECT_FALSE(awake->isChecked());
    tray.menu->stop();
}

TEST_F(StatusMenuTest, KeepAwakeStoresWhatIsHeldAfterEachChange) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    EXPECT_FALSE(tray.settings->contains("KeepAwake")) << "a first start writes nothing";
    EXPECT_EQ(tray.keepAwake->requests, 0);

    trigger(tray, "Keep this computer awake");
    ASSERT_TRUE(waitFor([&] { return tray.settings->contains("KeepAwake"); }));
    EXPECT_TRUE(tray.keepAwake->held);
    EXPECT_TRUE(tray.settings->value("KeepAwake").toBool());

    trigger(tray, "Keep this computer awake");
    EXPECT_FALSE(tray.keepAwake->held);
    EXPECT_FALSE(tray.settings->value("KeepAwake").toBool());
    EXPECT_EQ(tray.keepAwake->requests, 1);

    // A refusal is silent and stored as off, although on was asked for.
    tray.keepAwake->grants = false;
    tray.settings->setValue("KeepAwake", true);
    trigger(tray, "Keep this computer awake");
    ASSERT_TRUE(waitFor([&] { return !tray.settings->value("KeepAwake").toBool(); }));
    EXPECT_TRUE(tray.alerts->shown.empty());
    tray.menu->stop();
}

TEST_F(StatusMenuTest, StartRestoresKeepAwakeAfterStartingTheAgentAndStopLeavesThePreference) {
    MenuUnderTest tray(kTestBuild);
    tray.settings->setValue("KeepAwake", true);
    bool agentStartedFirst = false;
    tray.keepAwake->onRequest = [&] {
        agentStartedFirst = tray.agent->pidForTesting().has_value();
    };
    tray.menu->start();
    EXPECT_EQ(tray.keepAwake->requests, 1);
    EXPECT_TRUE(agentStartedFirst);
    ASSERT_TRUE(waitFor([&] { return tray.keepAwake->held; }));

    auto pid = *tray.agent->pidForTesting();
    tray.menu->stop();
    EXPECT_FALSE(tray.keepAwake->held);
    EXPECT_TRUE(tray.settings->value("KeepAwake").toBool());
    EXPECT_TRUE(testing::eventually([&] { return ::kill(pid, 0) != 0; }));
}

TEST_F(StatusMenuTest, StartAtLoginFlipsTheRegistrationAndStoresNothing) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    trigger(tray, "Start at login");
    EXPECT_TRUE(tray.loginItem->enabled);
    trigger(tray, "Start at login");
    EXPECT_FALSE(tray.loginItem->enabled);
    EXPECT_TRUE(tray.settings->allKeys().isEmpty());
    EXPECT_TRUE(tray.alerts->shown.empty());

    tray.loginItem->failure = "Not a directory";
    trigger(tray, "Start at login");
    ASSERT_EQ(tray.alerts->shown.size(), 1u);
    EXPECT_EQ(tray.alerts->shown[0].first, "Could not change the login item");
    EXPECT_EQ(tray.alerts->shown[0].second,
              "Not a directory\n\nThis usually means Vantrel Agent is not in your Applications "
              "folder. Move it there and try again.");
    tray.menu->stop();
}

TEST_F(StatusMenuTest, ShowLogRevealsTheLogWithoutCreatingIt) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    trigger(tray, "Show log");
    ASSERT_EQ(tray.workspace->revealed.size(), 1u);
    EXPECT_EQ(tray.workspace->revealed[0], Paths::log());
    EXPECT_FALSE(std::filesystem::exists(Paths::log()));
    EXPECT_TRUE(tray.workspace->opened.empty());
    tray.menu->stop();
}

TEST_F(StatusMenuTest, RestartAgentStartsANewAgent) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    ASSERT_TRUE(tray.agent->pidForTesting());
    auto first = *tray.agent->pidForTesting();
    trigger(tray, "Restart agent");
    EXPECT_TRUE(testing::eventually([&] {
        auto now = tray.agent->pidForTesting();
        return now && *now != first;
    }));
    tray.menu->stop();
}

TEST_F(StatusMenuTest, QuitEndsTheEventLoop) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    QTimer::singleShot(0, [&] { trigger(tray, "Quit Vantrel Agent"); });
    QTimer failsafe;
    failsafe.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&failsafe, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    failsafe.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, OpenVantrelAgentShowsTheOneSetupWindow) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    trigger(tray, "Open Vantrel Agent");
    SetupWindow* setup = tray.menu->setupForTesting();
    EXPECT_TRUE(setup->isOpen());
    setup->windowForTesting()->close();
    tray.menu->showSetupWindow();
    EXPECT_TRUE(setup->isOpen());
    setup->windowForTesting()->close();
    tray.menu->stop();
}

TEST_F(StatusMenuTest, IconIsTheArtworkElseAThemedOrDrawnSun) {
    auto artwork = statusIcon(std::filesystem::path(VANTREL_SOURCE_DIR) / "resources/menubar.png");
    EXPECT_FALSE(artwork.isNull());
    EXPECT_TRUE(artwork.isMask());
    auto fallback = statusIcon("/nonexistent/menubar.png");
    EXPECT_FALSE(fallback.isNull());
    EXPECT_TRUE(fallback.isMask());
    QImage sun = drawnSun().pixmap(36, 36).toImage();
    EXPECT_GT(qAlpha(sun.pixel(18, 18)), 0) << "the disc is painted";
    EXPECT_EQ(qAlpha(sun.pixel(0, 0)), 0) << "the corners stay clear";
}

TEST_F(StatusMenuTest, TheWarningLineShowsExactlyWhileTheProbeSaysLikelyBlocked) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    QMenu* menu = tray.menu->menuForTesting();
    QAction* line = menu->actions().at(2);
    const std::string warning = "\u26A0\uFE0E Local network access looks blocked \u2014 fix\u2026";
    struct Step {
        LocalNetwork::Verdict verdict;
        bool visible;
    } steps[] = {{LocalNetwork::Verdict::likelyBlocked, true},
                 {LocalNetwork::Verdict::reachable, false},
                 {LocalNetwork::Verdict::likelyBlocked, true},
                 {LocalNetwork::Verdict::noNetwork, false}};
    for (const auto& step : steps) {
        *tray.verdict = step.verdict;
        emit menu->aboutToShow();
        ASSERT_TRUE(waitFor([&] { return line->isVisible() == step.visible; }, 5));
        EXPECT_EQ(line->text().toStdString(), warning);
    }
    tray.menu->stop();
}

TEST_F(StatusMenuTest, RunDiagnosticsOpensTheOneDiagnosticsWindow) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    trigger(tray, "Run diagnostics…");
    QWidget* window = tray.menu->diagnosticsForTesting()->windowForTesting();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Vantrel Diagnostics");
    window->close();
    trigger(tray, "Run diagnostics…");
    EXPECT_EQ(tray.menu->diagnosticsForTesting()->windowForTesting(), window);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, ATestBuildRefusesToCheckForUpdatesWithoutAnyTraffic) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    EXPECT_EQ(tray.updateMain->size(), 0u);  // no periodic checks
    trigger(tray, "Check for updates…");
    ASSERT_EQ(tray.alerts->shown.size(), 1u);
    EXPECT_EQ(tray.alerts->shown[0].first, "This is a test build");
    EXPECT_EQ(tray.alerts->shown[0].second,
              "It talks to 127.0.0.1 and does not update itself \u2014 updating would replace it "
              "with the production app.");
    EXPECT_EQ(tray.updateWorker->size(), 0u);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, AProductionBuildChecksPeriodicallyAndAnswersTheMenuWithOneAlert) {
    // A loopback port where nothing listens stands in for the update server.
    ::setenv("VANTREL_DIST", "http://127.0.0.1:9", 1);
    MenuUnderTest tray(kProduction);
    tray.menu->start();
    EXPECT_EQ(tray.updateMain->nextDelay(), 3.0);

    trigger(tray, "Check for updates…");
    trigger(tray, "Check for updates…");  // dropped: a check is running
    EXPECT_EQ(tray.updateWorker->runDue(), 1);
    tray.updateMain->runDue();
    ASSERT_EQ(tray.alerts->shown.size(), 1u);
    EXPECT_EQ(tray.alerts->shown[0].first, "Could not update");
    EXPECT_EQ(tray.alerts->shown[0].second, "could not reach updates.vantrel.energy");
    ::unsetenv("VANTREL_DIST");
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel
