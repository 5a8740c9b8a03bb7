#include <signal.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "menubar/status_icon.h"
#include "support/paths.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::actionTitled;
using testing::MenuUnderTest;
using testing::waitFor;

const BuildFlavour kTestBuild{.isProduction = false, .apiLabel = "127.0.0.1"};
const BuildFlavour kProduction{.isProduction = true, .apiLabel = "api.vantrel.energy"};

class StatusMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    void trigger(MenuUnderTest& tray, const std::string& title) {
        QAction* action = actionTitled(*tray.menu->menuForTesting(), title);
        ASSERT_NE(action, nullptr) << title;
        action->trigger();
    }
};

// Only the first line follows the agent: the icon and tool tip stay, also while the menu is open
// when the agent crashes.
TEST_F(StatusMenuTest, FirstLineFollowsTheRealAgentsStates) {
    MenuUnderTest tray(kTestBuild,
                       "echo 'Waiting to be paired'\nsleep 0.4\n"
                       "echo 'pv=2.5kW grid=-1.234kW'\nsleep 0.4\nexit 3\n");
    std::vector<std::string> titles;
    tray.menu->start();
    QMenu* menu = tray.menu->menuForTesting();
    QAction* line = menu->actions().front();
    QObject::connect(line, &QAction::changed, [&] {
        if (titles.empty() || titles.back() != line->text().toStdString()) {
            titles.push_back(line->text().toStdString());
        }
    });
    auto* icon = tray.menu->trayForTesting().icon();
    auto iconKey = icon->icon().cacheKey();
    // Without a tray the status window is up; its coming to the front would close the menu.
    tray.menu->statusWindow().hide();
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
              "Not a directory\n\nThis usually means Vantrel Agent cannot write its entry in your "
              "autostart folder. Check that the folder can be written to and try again.");
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

// Runs the event loop until something quits it; false when nothing did in time.
bool quitsTheLoop(const std::function<void()>& act) {
    QTimer::singleShot(0, act);
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    failsafe.start(5000);
    return QCoreApplication::exec() == 0;
}

// A click opens the menu as a right-click does, and the keys it shows work while it is open.
TEST_F(StatusMenuTest, AClickOpensTheMenuAndItsKeysWork) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    QMenu* menu = tray.menu->menuForTesting();
    emit tray.menu->trayForTesting().icon()->activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 5));
    QTest::keyClick(menu, Qt::Key_O, Qt::ControlModifier);
    EXPECT_TRUE(tray.menu->setupForTesting()->isOpen());
    EXPECT_FALSE(menu->isVisible());
    tray.menu->setupForTesting()->windowForTesting()->close();

    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 5));
    EXPECT_TRUE(quitsTheLoop([&] { QTest::keyClick(menu, Qt::Key_Q, Qt::ControlModifier); }));
    tray.menu->stop();
}

// Light and dark pixels both: the icon stands out on a light panel and on a dark one.
bool readsOnLightAndDark(const QIcon& icon, int size) {
    QImage image = icon.pixmap(size, size).toImage();
    bool light = false, dark = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            QColor colour = image.pixelColor(x, y);
            if (colour.alpha() >= 224) {
                light = light || colour.lightnessF() > 0.4;
                dark = dark || colour.lightnessF() < 0.25;
            }
        }
    }
    return light && dark;
}

TEST_F(StatusMenuTest, OneIconForTheTrayAndTheWindowsThatReadsOnAnyPanel) {
    auto artwork = statusIcon(std::filesystem::path(VANTREL_SOURCE_DIR) / "resources/menubar.png");
    ASSERT_FALSE(artwork.isNull());
    EXPECT_FALSE(artwork.isMask()) << "a tinted mask vanishes on a dark panel";
    EXPECT_EQ(artwork.actualSize(QSize(128, 128)), QSize(128, 128)) << "sharp at 2x and more";
    for (int size : {16, 22, 36, 64}) {
        EXPECT_TRUE(readsOnLightAndDark(artwork, size)) << size;
    }
    EXPECT_TRUE(readsOnLightAndDark(drawnSun(), 36));
    EXPECT_FALSE(statusIcon("/nonexistent/menubar.png").isNull());

    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    auto key = tray.menu->trayForTesting().icon()->icon().pixmap(22).toImage();
    EXPECT_EQ(QApplication::windowIcon().pixmap(22).toImage(), key);
    EXPECT_EQ(tray.menu->statusWindow().window()->windowIcon().pixmap(22).toImage(), key);
    tray.menu->stop();
}

TEST_F(StatusMenuTest, TheWarningLineShowsExactlyWhileTheProbeSaysLikelyBlocked) {
    MenuUnderTest tray(kTestBuild);
    tray.menu->start();
    QMenu* menu = tray.menu->menuForTesting();
    QAction* line = menu->actions().at(2);
    QRect area = menu->screen()->availableGeometry();
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
        menu->popup(QPoint(10, area.bottom() - menu->sizeHint().height()));
        ASSERT_TRUE(waitFor([&] { return line->isVisible() == step.visible; }, 5));
        EXPECT_EQ(line->text().toStdString(), warning);
        EXPECT_TRUE(waitFor([&] { return menu->height() >= menu->sizeHint().height(); }, 2));
        EXPECT_TRUE(area.contains(menu->geometry())) << menu->geometry().bottom();
        menu->hide();
    }
    tray.menu->stop();
}

// No tray host here: the status window carries the menu's rows, live, and its commands work.
TEST_F(StatusMenuTest, WithoutATrayTheStatusWindowDoesWhatTheMenuDoes) {
    MenuUnderTest tray(kTestBuild, "echo 'Waiting to be paired'\nexec sleep 30\n");
    tray.menu->start();
    StatusWindow& status = tray.menu->statusWindow();
    ASSERT_TRUE(status.isOpen());
    QWidget* window = status.window();
    auto* state = window->findChild<QLabel*>();
    ASSERT_TRUE(waitFor([&] { return state->text() == "Waiting to be paired"; }, 10));

    std::vector<QString> texts;
    for (auto* widget : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget);
            button && button->isVisibleTo(window)) {
            texts.push_back(button->text());
        }
    }
    std::vector<QString> titles;
    for (auto* action : tray.menu->menuForTesting()->actions()) {
        if (action->isVisible() && action->isEnabled() && !action->isSeparator()) {
            titles.push_back(action->text());
        }
    }
    EXPECT_EQ(texts, titles);

    auto button = [&](const char* title) {
        for (auto* found : window->findChildren<QAbstractButton*>()) {
            if (found->text() == title) {
                return found;
            }
        }
        return static_cast<QAbstractButton*>(nullptr);
    };
    auto first = *tray.agent->pidForTesting();
    QTest::mouseClick(button("Restart agent"), Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] {
        auto now = tray.agent->pidForTesting();
        return now && *now != first;
    }));
    QTest::mouseClick(button("Start at login"), Qt::LeftButton);
    EXPECT_TRUE(tray.loginItem->enabled);
    EXPECT_TRUE(button("Start at login")->isChecked());
    window->close();
    EXPECT_FALSE(status.isOpen());
    EXPECT_TRUE(tray.agent->pidForTesting()) << "closing leaves the application running";
    tray.menu->showStatusWindowWithoutTray();
    EXPECT_TRUE(status.isOpen());
    EXPECT_TRUE(quitsTheLoop([&] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); }));
    EXPECT_TRUE(
        quitsTheLoop([&] { QTest::mouseClick(button("Quit Vantrel Agent"), Qt::LeftButton); }));
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
