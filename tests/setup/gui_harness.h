#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include "support/alerts.h"
#include "support/running_app.h"
#include "support/workspace.h"

void PrintTo(const QString& text, std::ostream* out);

namespace vantrel::testing {

// Makes the one QApplication of a GUI program, on the display the test run provides (in the home
// of its own that each test program gets from its launcher).
inline void startGuiApplication() {
    static int argc = 1;
    static char name[] = "setup_window_test", *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        new QApplication(argc, argv);
    }
}

// Types keys (xdotool's names, "ctrl+w") into the visible "Vantrel Agent" window of process `pid`
// as a person would, searching again if the window's handle changed when its page first showed.
inline bool typeInWindowOf(int pid, const std::string& keys) {
    auto command = "xdotool search --sync --all --onlyvisible --pid " + std::to_string(pid) +
                   " --name '^Vantrel Agent$' windowfocus --sync key " + keys;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (std::system(command.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Runs one step of a scenario under its name, so that a failure names it; a failed ASSERT ends
// that step alone and the scenario goes on.
inline void step(const std::string& name, const std::function<void()>& body) {
    SCOPED_TRACE("step: " + name);
    body();
}

// Runs the Qt event loop until the condition holds or the timeout passes.
inline bool waitFor(const std::function<bool()>& condition, double timeoutSeconds = 15) {
    QDeadlineTimer deadline(static_cast<qint64>(timeoutSeconds * 1000));
    bool met = false;
    while (!(met = condition()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return met;
}

struct RecordingWorkspace final : Workspace {
    void openUrl(const std::string& url) override { opened.push_back(url); }
    void revealFile(const std::filesystem::path& file) override { revealed.push_back(file); }
    std::vector<std::string> opened;
    std::vector<std::filesystem::path> revealed;
};

// Each alert is dismissed at once.
struct RecordingAlerts final : Alerts {
    void show(const std::string& message, const std::string& informative,
              std::function<void()> dismissed) override {
        shown.emplace_back(message, informative);
        if (dismissed) {
            dismissed();
        }
    }
    std::vector<std::pair<std::string, std::string>> shown;
};

}  // namespace vantrel::testing
