#include <signal.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

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
    tray.menu->setupForTesting()->close();

    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 5));
    EXPECT_TRUE(quitsTheLoop([&] { QTest::keyClick(menu, Qt::Key_Q, Qt::ControlModifier); }));
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

// Each command of the menu does its one job: keep-awake is restored after the agent starts,
// login registration changes without storing anything, the log is shown but not made, one
// diagnostics window, and a test build never checks for updates.
TEST_F(StatusMenuTest, EachCommandDoesItsJob) {
    MenuUnderTest tray(kTestBuild);
    tray.settings->setValue("KeepAwake", true);
    bool agentStartedFirst = false;
    tray.keepAwake->onRequest = [&] {
        agentStartedFirst = tray.agent->pidForTesting().has_value();
    };
    tray.menu->start();
    EXPECT_TRUE(agentStartedFirst);
    ASSERT_TRUE(waitFor([&] { return tray.keepAwake->held; }));

    trigger(tray, "Start at login");
    EXPECT_TRUE(tray.loginItem->enabled);
    trigger(tray, "Start at login");
    EXPECT_FALSE(tray.loginItem->enabled);
    EXPECT_EQ(tray.settings->allKeys(), QStringList{"KeepAwake"});
    tray.loginItem->failure = "Not a directory";
    trigger(tray, "Start at login");

    trigger(tray, "Show log");
    EXPECT_EQ(tray.workspace->revealed, std::vector{Paths::log()});
    EXPECT_FALSE(std::filesystem::exists(Paths::log()));

    trigger(tray, "Run diagnostics…");
    QWidget* window = tray.menu->diagnosticsForTesting()->windowForTesting();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    window->close();
    trigger(tray, "Run diagnostics…");
    EXPECT_EQ(tray.menu->diagnosticsForTesting()->windowForTesting(), window);

    trigger(tray, "Check for updates…");
    EXPECT_EQ(tray.updateMain->size(), 0u) << "no periodic checks";
    EXPECT_EQ(tray.updateWorker->size(), 0u);
    const std::vector<std::pair<std::string, std::string>> alerts{
        {"Could not change the login item",
         "Not a directory\n\nThis usually means Vantrel Agent cannot write its entry in your "
         "autostart folder. Check that the folder can be written to and try again."},
        {"This is a test build",
         "It talks to 127.0.0.1 and does not update itself \u2014 updating would replace it with "
         "the production app."}};
    EXPECT_EQ(tray.alerts->shown, alerts);

    auto pid = *tray.agent->pidForTesting();
    tray.menu->stop();
    EXPECT_FALSE(tray.keepAwake->held);
    EXPECT_TRUE(tray.settings->value("KeepAwake").toBool()) << "stop leaves the preference";
    EXPECT_TRUE(testing::eventually([&] { return ::kill(pid, 0) != 0; }));
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
    using Alert = std::pair<std::string, std::string>;
    EXPECT_EQ(tray.alerts->shown,
              (std::vector<Alert>{{"Could not update", "could not reach updates.vantrel.energy"}}));
    ::unsetenv("VANTREL_DIST");
    tray.menu->stop();
}

}  // namespace
}  // namespace vantrel
