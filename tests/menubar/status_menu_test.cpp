#include <signal.h>

#include <QtTest/QTest>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vantrel
