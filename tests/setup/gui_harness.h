#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/alerts.h"
#include "support/running_app.h"
#include "support/temp_dir.h"
#include "support/workspace.h"

class QString;
void PrintTo(const QString& text, std::ostream* out);

namespace vantrel::testing {

// Makes the one QApplication of a GUI test program, offscreen unless a display is given, inside a
// sandboxed home that lives as long as the program.
void startGuiApplication();
const std::filesystem::path& sandboxHome();

// Types keys (xdotool's names, "ctrl+w") into the visible "Vantrel Agent" window of process `pid`,
// as a person would.
bool typeInWindowOf(int pid, const std::string& keys);

// Runs the Qt event loop until the condition holds or the timeout passes.
bool waitFor(const std::function<bool()>& condition, double timeoutSeconds = 15);

class RecordingWorkspace final : public Workspace {
  public:
    void openUrl(const std::string& url) override { opened.push_back(url); }
    void revealFile(const std::filesystem::path& file) override { revealed.push_back(file); }

    std::vector<std::string> opened;
    std::vector<std::filesystem::path> revealed;
};

class RecordingAlerts final : public Alerts {
  public:
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
