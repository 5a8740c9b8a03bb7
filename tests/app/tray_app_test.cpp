#include <signal.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMenuBar>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "menubar/tray_test_kit.h"
#include "support/qt_window.h"

namespace vantrel {
namespace {

using testing::kTestBuild;
using testing::MenuUnderTest;
using testing::runLoop;
using testing::waitFor;

// No tray here: after a start at login the status window is the way to the application. Closing
// every window leaves it running; quitting, by key or button, ends the agent and keep-awake but
// keeps the preference.
TEST(AppDelegateTest, AStartAtLoginWithoutATrayOpensOnlyTheStatusWindow) {
    testing::startGuiApplication();
    MenuUnderTest tray(kTestBuild, "echo 'pv=<i>R&D'\nexec sleep 30\n");
    StatusMenu* status = tray.menu.get();  // the delegate takes the menu over
    AppDelegate app(std::move(tray.menu), tray.alerts,
                    {.loginItem = true, .cannotStart = std::nullopt});
    tray.settings->setValue("KeepAwake", true);
    app.applicationDidFinishLaunching();
    ASSERT_TRUE(waitFor([&] { return tray.keepAwake->held; })) << "expected keep-awake held";
    SetupWindow* setup = status->setupForTesting();
    StatusWindow& statusWindow = status->statusWindow();
    ASSERT_TRUE(statusWindow.isOpen() && !setup->isOpen()) << "expected the status window alone";
    QWidget* window = statusWindow.window();
    auto button = [&](const char* title) {
        auto all = window->findChildren<QAbstractButton*>();
        auto found = std::ranges::find(all, QString(title), &QAbstractButton::text);
        return found == all.end() ? nullptr : *found;
    };
    auto click = [&](const char* title) { QTest::mouseClick(button(title), Qt::LeftButton); };
    // Login registration and keep-awake change both ways (what is stored is what was granted) and
    // a failure says why; the log is revealed but not made; a test build never checks for updates.
    testing::step("the status window carries the menu's rows, live, each doing its one job", [&] {
        auto* state = window->findChild<QLabel*>();
        const QString reading = "Solar <i>R&D kW";  // the agent's words, not markup or a key
        ASSERT_TRUE(waitFor([&] { return state->text() == reading; }, 10)) << "the state line";
        EXPECT_EQ(state->textFormat(), Qt::PlainText) << "the state line shown as written";
        EXPECT_EQ(status->menuForTesting()->actions().front()->iconText(), reading) << "its row";
        auto buttons = window->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly);
        buttons.removeIf([&](auto* shown) { return !shown->isVisibleTo(window); });
        auto rows = status->menuForTesting()->actions();
        rows.removeIf(
            [](auto* row) { return !row->isVisible() || !row->isEnabled() || row->isSeparator(); });
        EXPECT_TRUE(std::ranges::equal(buttons, rows, {}, &QAbstractButton::text, &QAction::text));
        auto first = *tray.agent->pidForTesting();
        click("Restart agent");
        EXPECT_TRUE(waitFor([&] { return tray.agent->pidForTesting().value_or(first) != first; }));
        click("Start at login");
        EXPECT_TRUE(tray.loginItem->isEnabled() && button("Start at login")->isChecked());
        click("Start at login");
        EXPECT_FALSE(tray.loginItem->isEnabled());
        testing::writeFile(tray.autostartEntry() / "x", "");
        click("Start at login");
        click("Keep this computer awake");  // off, and on again
        EXPECT_FALSE(tray.keepAwake->held || tray.settings->value("KeepAwake").toBool());
        click("Keep this computer awake");
        EXPECT_TRUE(waitFor(
            [&] { return tray.keepAwake->held && tray.settings->value("KeepAwake").toBool(); }));
        click("Show log");
        EXPECT_EQ(tray.workspace->revealed, std::vector{tray.dir / "Logs/agent.log"});
        EXPECT_FALSE(std::filesystem::exists(tray.dir / "Logs/agent.log"));
        click("Run diagnostics\u2026");
        QWidget* diagnostics = status->diagnosticsForTesting()->windowForTesting();
        ASSERT_TRUE(diagnostics && diagnostics->isVisible());
        diagnostics->close();
        click("Check for updates\u2026");
        EXPECT_EQ(tray.updateMain->size() + tray.updateWorker->size(), 0u) << "no periodic checks";
        ASSERT_EQ(tray.alerts->shown.size(), 2u);
        EXPECT_EQ(tray.alerts->shown[0].first, "Could not change the login item");
        EXPECT_TRUE(tray.alerts->shown[0].second.starts_with("Is a directory\n\n"));
        EXPECT_EQ(tray.alerts->shown[1].first, "This is a test build");
    });
    QWidget other;
    testing::step("the main menu's keys and Hide reach a window shown after it was installed", [&] {
        other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
        QTest::keyClick(&other, Qt::Key_W, Qt::ControlModifier);  // Close
        EXPECT_TRUE(waitFor([&] { return !other.isVisible(); }, 2));
        other.show();
        app.mainMenuForTesting()->actions()[0]->menu()->actions()[2]->trigger();  // Hide
        EXPECT_FALSE(hasVisibleWindows());
    });
    // Not a minimised window, and not the status window, which stands in for the tray menu; the
    // setup window's own process minimises it with its key.
    testing::step("reopen shows the setup window only when no window is visible", [&] {
        other.show();
        app.reopen();
        EXPECT_FALSE(setup->isOpen());
        other.showMinimized();
        window->showMinimized();
        app.reopen();
        ASSERT_TRUE(setup->isOpen());
        EXPECT_TRUE(statusWindow.isOpen()) << "brought back from the minimised state";
        ASSERT_TRUE(testing::typeInWindowOf(*setup->pidForTesting(), "ctrl+m"));
        ASSERT_TRUE(waitFor([&] { return setup->isOpen() && !setup->isShowing(); }));
        app.reopen();
        EXPECT_TRUE(waitFor([&] { return setup->isShowing(); }));
    });
    auto pid = tray.agent->pidForTesting();
    bool runningOn = false;  // seen inside the loop: its end is a quit of its own
    const auto closeAll = [&] {
        setup->close();
        window->close();
        QTimer::singleShot(0, [&] {
            runningOn = tray.agent->pidForTesting() == pid;
            QCoreApplication::exit(7);
        });
    };
    EXPECT_EQ(runLoop(closeAll), 7) << "only the test ended the loop";
    EXPECT_TRUE(runningOn) << "expected the agent running on with every window closed";
    status->showStatusWindowWithoutTray();
    EXPECT_EQ(runLoop([&] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); }), 0);
    EXPECT_FALSE(tray.keepAwake->held);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*pid, 0) != 0; }));
    EXPECT_EQ(tray.settings->allKeys(), QStringList{"KeepAwake"});
    EXPECT_TRUE(tray.settings->value("KeepAwake").toBool());
    EXPECT_EQ(runLoop([&] { click("Quit Vantrel Agent"); }), 0);
}

}  // namespace
}  // namespace vantrel
