#pragma once

#include <QCoreApplication>
#include <QMenuBar>

#include <functional>

#include <memory>

namespace vantrel {

// The application's main menu: the application, Edit and Window submenus. Where the platform
// has a global menu bar it shows there; otherwise its key equivalents work in every window of the
// application.
class MainMenu {
  public:
    MainMenu() = delete;

    // `quit` is what Quit does: the application's quit, or in the setup window's own process a
    // request to the application.
    static std::unique_ptr<QMenuBar> install(
        const std::function<void()>& quit = &QCoreApplication::quit);
};

}  // namespace vantrel
