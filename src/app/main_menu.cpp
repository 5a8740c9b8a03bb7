#include "app/main_menu.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QWidget>

#include <string>

#include "support/bundle.h"

namespace vantrel {
namespace {

// A "Command" key equivalent is Control here; Qt maps Control to Command where that key exists.
QKeySequence command(Qt::Key key, Qt::KeyboardModifiers extra = {}) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier | extra, key));
}

bool isApplicationWindow(const QWidget* widget) {
    auto type = widget->windowType();
    return widget->isWindow() && (type == Qt::Window || type == Qt::Dialog);
}

void showAbout() {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Vantrel Agent"),
                                QStringLiteral("Vantrel Agent"), QMessageBox::Ok);
    box->setInformativeText(QString::fromStdString("Version " + bundle::versionIn(bundle::info())));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}

void hideApplication() {
    for (auto* window : QApplication::topLevelWidgets()) {
        if (isApplicationWindow(window) && window->isVisible()) {
            window->hide();
        }
    }
}

// The edit commands go to the widget with the keyboard focus, as the platform's first responder
// would receive them; widgets without the command ignore it.
void sendToFocus(const char* slot) {
    QWidget* focus = QApplication::focusWidget();
    if (focus && focus->metaObject()->indexOfMethod((std::string(slot) + "()").c_str()) >= 0) {
        QMetaObject::invokeMethod(focus, slot);
    }
}

template <typename Act>
void withActiveWindow(Act act) {
    if (QWidget* window = QApplication::activeWindow(); window && isApplicationWindow(window)) {
        act(window);
    }
}

template <typename Command>
QAction* addItem(QMenu* menu, const QString& title, QKeySequence key, Command command) {
    QAction* action = menu->addAction(title);
    action->setShortcut(key);
    QObject::connect(action, &QAction::triggered, action, command);
    return action;
}

void fillApplicationMenu(QMenu* menu, const std::function<void()>& quit) {
    addItem(menu, QStringLiteral("About Vantrel Agent"), {}, showAbout)
        ->setMenuRole(QAction::AboutRole);
    menu->addSeparator();
    addItem(menu, QStringLiteral("Hide Vantrel Agent"), command(Qt::Key_H), hideApplication);
    // There are no other applications to hide here; the key is kept so nothing else takes it.
    addItem(menu, QStringLiteral("Hide Others"), command(Qt::Key_H, Qt::AltModifier), [] {});
    menu->addSeparator();
    addItem(menu, QStringLiteral("Quit Vantrel Agent"), command(Qt::Key_Q), quit)
        ->setMenuRole(QAction::QuitRole);
}

void fillEditMenu(QMenu* menu) {
    addItem(menu, QStringLiteral("Undo"), command(Qt::Key_Z), [] { sendToFocus("undo"); });
    addItem(menu, QStringLiteral("Redo"), command(Qt::Key_Z, Qt::ShiftModifier),
            [] { sendToFocus("redo"); });
    menu->addSeparator();
    addItem(menu, QStringLiteral("Cut"), command(Qt::Key_X), [] { sendToFocus("cut"); });
    addItem(menu, QStringLiteral("Copy"), command(Qt::Key_C), [] { sendToFocus("copy"); });
    addItem(menu, QStringLiteral("Paste"), command(Qt::Key_V), [] { sendToFocus("paste"); });
    addItem(menu, QStringLiteral("Select All"), command(Qt::Key_A),
            [] { sendToFocus("selectAll"); });
}

void fillWindowMenu(QMenu* menu) {
    addItem(menu, QStringLiteral("Minimise"), command(Qt::Key_M),
            [] { withActiveWindow([](QWidget* window) { window->showMinimized(); }); });
    addItem(menu, QStringLiteral("Close"), command(Qt::Key_W),
            [] { withActiveWindow([](QWidget* window) { window->close(); }); });
}

// Without a global menu bar the menu bar is never shown, so its shortcuts would never fire: each
// application window gets the items as its own actions when it is shown.
class WindowHook final : public QObject {
  public:
    explicit WindowHook(QMenuBar* bar) : QObject(bar), bar_(bar) {
        for (auto* top : bar->actions()) {
            items_ += top->menu()->actions();
        }
        for (auto* window : QApplication::topLevelWidgets()) {
            attach(window);
        }
        qApp->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            attach(static_cast<QWidget*>(watched));
        }
        return false;
    }

  private:
    void attach(QWidget* widget) {
        if (widget != bar_ && isApplicationWindow(widget)) {
            widget->addActions(items_);
        }
    }

    const QMenuBar* bar_;
    QList<QAction*> items_;
};

}  // namespace

std::unique_ptr<QMenuBar> MainMenu::install(const std::function<void()>& quit) {
    // Without a parent the menu bar is the application's global one where the platform has it.
    auto bar = std::make_unique<QMenuBar>();
    fillApplicationMenu(bar->addMenu(QString()), quit);
    fillEditMenu(bar->addMenu(QStringLiteral("Edit")));
    fillWindowMenu(bar->addMenu(QStringLiteral("Window")));
    new WindowHook(bar.get());
    return bar;
}

}  // namespace vantrel
