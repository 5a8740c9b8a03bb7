#pragma once

#include <QMenuBar>
#include <QObject>

#include <memory>
#include <optional>
#include <string>

#include "menubar/status_menu.h"
#include "support/alerts.h"

namespace vantrel {

// Answers the application's questions: what to bring up once the event loop runs, what a second
// start means, whether closing the last window quits (never), and what every termination does.
class AppDelegate final : public QObject {
    Q_OBJECT

  public:
    struct Launch {
        bool loginItem = false;  // started at login: no setup window
        // Why the start cannot go on (the folders could not be made): only an alert, then quit.
        std::optional<std::string> cannotStart;
    };

    // Becomes the delegate of the running QApplication: closing the last window no longer quits,
    // and the application's end reaches applicationWillTerminate.
    AppDelegate(std::unique_ptr<StatusMenu> status, std::shared_ptr<Alerts> alerts, Launch launch,
                QObject* parent = nullptr);

    // The launch sequence, in order: the alert of a start that cannot go on, or the main menu,
    // the status menu, and the setup window unless this is a start at login.
    void applicationDidFinishLaunching();
    // Shows the setup window when no window is visible. Always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void applicationWillTerminate();
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // A second start asked to reopen: the rule above, with this application's own windows, the
    // setup window in its own process included; the status window comes forward too when there is
    // no tray.
    void reopen();

    StatusMenu& statusForTesting() { return *status_; }
    QMenuBar* mainMenuForTesting() const { return mainMenu_.get(); }

  private:
    const std::unique_ptr<StatusMenu> status_;
    const std::shared_ptr<Alerts> alerts_;
    const Launch launch_;
    std::unique_ptr<QMenuBar> mainMenu_;
};

}  // namespace vantrel
