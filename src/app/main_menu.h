#pragma once

#include <QMenuBar>

#include <memory>

namespace vantrel {

// The application's main menu: the application, Edit and Window submenus. Where the platform
// has a global menu bar it shows there; otherwise its key equivalents work in every window of the
// application.
class MainMenu {
  public:
    MainMenu() = delete;

    static std::unique_ptr<QMenuBar> install();
};

}  // namespace vantrel
