#include <signal.h>

#include <QAbstractButton>
#include <QLabel>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "support/paths.h"
#include "tray_test_kit.h"

namespace vantrel {
namespace {

using testing::kTestBuild;
using testing::MenuUnderTest;
using testing::runLoop;
using testing::waitFor;
using Alerts = std::vector<std::pair<std::string, std::string>>;

class StatusMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }
};

// A click opens the menu as a right-click does. While it is open its first line follows the real
// agent, even through a crash, the icon stays, and the keys the menu shows work. A production
// build checks for updates periodically and on request, one check at a time, and says how it went.
TEST_F(StatusMenuTest, AClickOpensTheMenuAndItsKeysWork) {
    ::setenv("VANTREL_DIST", "http://127.0.0.1:9", 1);  // nothing listens: the update server
    MenuUnderTest tray(
        {.isProduction = true, .apiLabel = "api.vantrel.energy"},
        "echo 'pv=2.5kW grid=-1.234kW'\nwhile [ ! -e \"${0%/*}/crash\" ]; do sleep 0.05; done\n"
        "exit 3\n");
    tray.menu->start();
    tray.menu->statusWindow().hide();  // no tray here: coming to the front, it would close the menu
    QMenu* menu = tray.menu->menuForTesting();
    QAction* line = menu->actions().front();
    std::vector<std::string> titles;
    QObject::connect(line, &QAction::changed, [&] {
        if (titles.empty() || titles.back() != line->text().toStdString()) {
            titles.push_back(line->text().toStdString());
        }
    });
    auto* icon = tray.menu->trayForTesting().icon();
    auto iconKey = icon->icon().cacheKey();
    emit icon->activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 5));
    ASSERT_TRUE(waitFor([&] { return !titles.empty(); }));
    testing::writeFile(tray.dir / "crash", "");
    ASSERT_TRUE(waitFor([&] { return titles.size() >= 2; }));
    EXPECT_EQ(std::vector(titles.begin(), titles.begin() + 2),
              (std::vector<std::string>{"Solar 2.5 kW \u00B7 exporting 1.23 kW",
                                        "Stopped \u2014 exited 3"}));
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(icon->toolTip(), "Vantrel Agent");
    EXPECT_EQ(icon->icon().cacheKey(), iconKey);

    QTest::keyClick(menu, Qt::Key_O, Qt::ControlModifier);
    EXPECT_TRUE(tray.menu->setupForTesting()->isOpen());
    EXPECT_FALSE(menu->isVisible());
    tray.menu->setupForTesting()->close();
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 5));
    EXPECT_EQ(runLoop([&] { QTest::keyClick(menu, Qt::Key_Q, Qt::ControlModifier); }), 0);

    EXPECT_EQ(tray.updateMain->nextDelay(), 3.0);
    tray.action("Check for updates\u2026")->trigger();
    tray.action("Check for updates\u2026")->trigger();  // dropped: a check is running
    EXPECT_EQ(tray.updateWorker->runDue(), 1);
    tray.updateMain->runDue();
    EXPECT_EQ(tray.alerts->shown,
              (Alerts{{"Could not update", "could not reach updates.vantrel.energy"}}));
    ::unsetenv("VANTREL_DIST");
    tray.menu->stop();
}

// No tray host here: the status window carries the menu's rows, live, and each of its commands
// does its one job: login registration changes both ways and a failure says why, the log is
// revealed but not made, one diagnostics window, and a test build never checks for updates.
// Closing the window leaves the application running; stop ends the agent and keeps preferences.
TEST_F(StatusMenuTest, WithoutATrayTheStatusWindowDoesWhatTheMenuDoes) {
    MenuUnderTest tray(kTestBuild, "echo 'Waiting to be paired'\nexec sleep 30\n");
    tray.menu->start();
    StatusWindow& status = tray.menu->statusWindow();
    ASSERT_TRUE(status.isOpen());
    QWidget* window = status.window();
    auto* state = window->findChild<QLabel*>();
    ASSERT_TRUE(waitFor([&] { return state->text() == "Waiting to be paired"; }, 10));
    std::vector<QString> texts, titles;
    for (auto* widget : window->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
        if (widget->isVisibleTo(window)) {
            texts.push_back(widget->text());
        }
    }
    for (auto* action : tray.menu->menuForTesting()->actions()) {
        if (action->isVisible() && action->isEnabled() && !action->isSeparator()) {
            titles.push_back(action->text());
        }
    }
    EXPECT_EQ(texts, titles);

    auto button = [&](const char* title) {
        auto all = window->findChildren<QAbstractButton*>();
        auto found = std::ranges::find(all, QString(title), &QAbstractButton::text);
        return found == all.end() ? nullptr : *found;
    };
    auto first = *tray.agent->pidForTesting();
    QTest::mouseClick(button("Restart agent"), Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] { return tray.agent->pidForTesting().value_or(first) != first; }));
    QTest::mouseClick(button("Start at login"), Qt::LeftButton);
    EXPECT_TRUE(tray.loginItem->isEnabled());
    EXPECT_TRUE(button("Start at login")->isChecked());
    QTest::mouseClick(button("Start at login"), Qt::LeftButton);
    EXPECT_FALSE(tray.loginItem->isEnabled());
    testing::writeFile(testing::sandboxHome() / ".config/autostart/vantrel-agent.desktop/x", "");
    QTest::mouseClick(button("Start at login"), Qt::LeftButton);
    QTest::mouseClick(button("Show log"), Qt::LeftButton);
    EXPECT_EQ(tray.workspace->revealed, std::vector{Paths::log()});
    EXPECT_FALSE(std::filesystem::exists(Paths::log()));
    QTest::mouseClick(button("Run diagnostics\u2026"), Qt::LeftButton);
    QWidget* diagnostics = tray.menu->diagnosticsForTesting()->windowForTesting();
    ASSERT_TRUE(diagnostics && diagnostics->isVisible());
    diagnostics->close();
    QTest::mouseClick(button("Run diagnostics\u2026"), Qt::LeftButton);
    EXPECT_EQ(tray.menu->diagnosticsForTesting()->windowForTesting(), diagnostics);
    QTest::mouseClick(button("Check for updates\u2026"), Qt::LeftButton);
    EXPECT_EQ(tray.updateMain->size() + tray.updateWorker->size(), 0u) << "no periodic checks";
    ASSERT_EQ(tray.alerts->shown.size(), 2u);
    EXPECT_EQ(
        tray.alerts->shown[0],
        (std::pair<std::string, std::string>(
            "Could not change the login item",
            "Is a directory\n\nThis usually means Vantrel Agent cannot write its entry in "
            "your autostart folder. Check that the folder can be written to and try again.")));
    EXPECT_EQ(tray.alerts->shown[1].first, "This is a test build");  // texts: the alerts' table
    window->close();
    EXPECT_FALSE(status.isOpen());
    EXPECT_TRUE(tray.agent->pidForTesting()) << "closing leaves the application running";
    tray.menu->showStatusWindowWithoutTray();
    EXPECT_TRUE(status.isOpen());
    EXPECT_EQ(runLoop([&] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); }), 0);
    EXPECT_EQ(runLoop([&] { QTest::mouseClick(button("Quit Vantrel Agent"), Qt::LeftButton); }), 0);
    tray.settings->setValue("KeepAwake", true);
    auto pid = *tray.agent->pidForTesting();
    tray.menu->stop();
    EXPECT_TRUE(testing::eventually([&] { return ::kill(pid, 0) != 0; }));
    EXPECT_EQ(tray.settings->allKeys(), QStringList{"KeepAwake"}) << "stop leaves the preference";
}

}  // namespace
}  // namespace vantrel
