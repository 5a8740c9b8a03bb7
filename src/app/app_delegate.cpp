#include "app/app_delegate.h"

#include <QApplication>

#include "app/main_menu.h"
#include "support/qt_window.h"

namespace vantrel {

AppDelegate::AppDelegate(std::unique_ptr<StatusMenu> status, std::shared_ptr<Alerts> alerts,
                         Launch launch, QObject* parent)
    : QObject(parent),
      status_(std::move(status)),
      alerts_(std::move(alerts)),
      launch_(std::move(launch)) {
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    // Every way out of the event loop passes here: Quit, its key, a signal, the session's end.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
}

void AppDelegate::applicationDidFinishLaunching() {
    if (launch_.cannotStart) {
        alerts_->show("Vantrel Agent cannot start", *launch_.cannotStart,
                      [] { QCoreApplication::quit(); });
        return;
    }
    mainMenu_ = MainMenu::install();
    status_->start();
    if (!launch_.loginItem) {
        status_->showSetupWindow();
    }
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (!hasVisibleWindows) {
        status_->showSetupWindow();
    }
    return true;
}

void AppDelegate::applicationWillTerminate() {
    status_->stop();
}

// Without a tray the status window is how the user finds the application again. It stands in
// for the tray menu, which is no window, so it does not keep the setup window away. The setup
// window is a window of its own process.
void AppDelegate::reopen() {
    status_->showStatusWindowWithoutTray();
    applicationShouldHandleReopen(hasVisibleWindows(status_->statusWindow().window()) ||
                                  status_->setupWindow().isShowing());
}

}  // namespace vantrel
