#pragma once

class QWidget;

namespace vantrel {

// Shows the window, un-minimised, in front, with the keyboard.
void bringForward(QWidget& window);

// On screen for the user: shown and not minimised.
bool isShowing(const QWidget& window);

// True when one of the application's own windows other than `besides` is showing. Menus, tool
// tips and the tray's docked icon (a window the window manager never manages) are not such windows.
bool hasVisibleWindows(const QWidget* besides = nullptr);

}  // namespace vantrel
