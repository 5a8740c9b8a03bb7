#pragma once

class QSize;
class QWidget;

namespace vantrel {

// Shows the window, un-minimised, in front, with the keyboard.
void bringForward(QWidget& window);

// Places the window at `size` in the middle of the primary screen's free area.
void centre(QWidget& window, const QSize& size);

// On screen for the user: shown and not minimised.
bool isShowing(const QWidget& window);

// True when one of the application's own windows other than `besides` is showing. Menus, tool
// tips and the tray's docked icon (a window the window manager never manages) are not such windows.
bool hasVisibleWindows(const QWidget* besides = nullptr);

}  // namespace vantrel
