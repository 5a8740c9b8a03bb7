#include "support/qt_window.h"

#include <QApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace vantrel {

void bringForward(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

void centre(QWidget& window, const QSize& size) {
    const auto area = QGuiApplication::primaryScreen()->availableGeometry();
    window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, area));
}

bool isShowing(const QWidget& window) {
    return window.isVisible() && !window.isMinimized();
}

bool hasVisibleWindows(const QWidget* besides) {
    auto widgets = QApplication::topLevelWidgets();
    return std::any_of(widgets.begin(), widgets.end(), [besides](const QWidget* widget) {
        auto type = widget->windowType();
        return widget != besides && (type == Qt::Window || type == Qt::Dialog) &&
               !widget->windowFlags().testFlag(Qt::BypassWindowManagerHint) && isShowing(*widget);
    });
}

}  // namespace vantrel
