#pragma once

#include <QMenuBar>
#include <QObject>

#include <memory>

#include "menubar/status_menu.h"
#include "support/alerts.h"

namespace vantrel {

// Answers the application's questions: what to bring up once the event loop runs, what a second
// start means, whether closing the last window quits (never), and what every termination does.
class AppDelegate final : public QObject {
    Q_OBJECT

  public:
    // Becomes the delegate of the running QApplication: closing the last window no longer quits,
    // and the application's end reaches applicationWillTerminate.
    AppDelegate(std::unique_ptr<StatusMenu> status, std::shared_ptr<Alerts> alerts,
                bool launchedAsLoginItem, QObject* parent = nullptr);

    // The launch sequence, in order: the folders (on failure only an alert, then quit), the main
    // menu, the status menu, and the setup window unless this is a start at login.
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
    const bool launchedAsLoginItem_;
    std::unique_ptr<QMenuBar> mainMenu_;
};

}  // namespace vantrel
