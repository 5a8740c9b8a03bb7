#include <QApplication>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "app/main_menu.h"
#include "menubar/tray_test_kit.h"

namespace vantrel {
namespace {

using testing::rowsOf;
using testing::waitFor;

QKeySequence command(Qt::Key key, Qt::KeyboardModifiers extra = {}) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier | extra, key));
}

class MainMenuTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::startGuiApplication(); }

    std::unique_ptr<QMenuBar> bar = MainMenu::install();
};

TEST_F(MainMenuTest, ThreeSubmenusWithTheirItemsAndKeyEquivalents) {
    auto tops = bar->actions();
    ASSERT_EQ(tops.size(), 3);
    struct Item {
        std::string title;
        QKeySequence key;
    };
    const std::vector<std::pair<QString, std::vector<Item>>> expected{
        {"",
         {{"About Vantrel Agent", {}},
          {"-", {}},
          {"Hide Vantrel Agent", command(Qt::Key_H)},
          {"Hide Others", command(Qt::Key_H, Qt::AltModifier)},
          {"-", {}},
          {"Quit Vantrel Agent", command(Qt::Key_Q)}}},
        {"Edit",
         {{"Undo", command(Qt::Key_Z)},
          {"Redo", command(Qt::Key_Z, Qt::ShiftModifier)},
          {"-", {}},
          {"Cut", command(Qt::Key_X)},
          {"Copy", command(Qt::Key_C)},
          {"Paste", command(Qt::Key_V)},
          {"Select All", command(Qt::Key_A)}}},
        {"Window", {{"Minimise", command(Qt::Key_M)}, {"Close", command(Qt::Key_W)}}},
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(tops[i]->menu(), nullptr);
        EXPECT_EQ(tops[i]->menu()->title(), expected[i].first);
        auto rows = rowsOf(*tops[i]->menu());
        ASSERT_EQ(rows.size(), expected[i].second.size()) << i;
        for (size_t j = 0; j < rows.size(); ++j) {
            EXPECT_EQ(rows[j].title, expected[i].second[j].title);
            EXPECT_EQ(rows[j].key, expected[i].second[j].key) << rows[j].title;
        }
    }
}

// There is no global menu bar here, so the keys must work in the application's own windows.
TEST_F(MainMenuTest, KeyEquivalentsWorkInEveryWindowShownLater) {
    QWidget window;
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return window.isMinimized(); }, 2));

    window.showNormal();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return !window.isVisible(); }, 2));
}

TEST_F(MainMenuTest, HideHidesEveryWindowOfTheApplication) {
    QWidget one, two;
    one.show();
    two.show();
    bar->actions()[0]->menu()->actions()[2]->trigger();
    EXPECT_FALSE(one.isVisible());
    EXPECT_FALSE(two.isVisible());
}

TEST_F(MainMenuTest, EditCommandsGoToTheFocusedWidget) {
    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("solar"), &window);
    new QVBoxLayout(&window);
    window.layout()->addWidget(field);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    ASSERT_TRUE(waitFor([&] { return field->hasFocus(); }, 2));
    field->deselect();

    auto edit = bar->actions()[1]->menu()->actions();
    edit[6]->trigger();  // Select All
    EXPECT_EQ(field->selectedText(), "solar");
    edit[3]->trigger();  // Cut
    EXPECT_EQ(field->text(), "");
    edit[0]->trigger();  // Undo
    EXPECT_EQ(field->text(), "solar");
}

}  // namespace
}  // namespace vantrel
