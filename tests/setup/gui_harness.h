#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/alerts.h"
#include "support/child_process.h"
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

// A real child on the agent's port: the reference agent, or a Python script given as text.
class LoopbackServer {
  public:
    // The reference agent from the source tree; `knobs` are extra NAME=value entries.
    static LoopbackServer referenceAgent(const std::vector<std::string>& knobs = {});
    static LoopbackServer pythonScript(const std::string& script);

    LoopbackServer(LoopbackServer&&) = delete;
    ~LoopbackServer();
    bool waitUntilListening(double timeoutSeconds = 10) const;

  private:
    LoopbackServer(std::unique_ptr<TempDir> dir, std::vector<std::string> arguments,
                   const std::vector<std::string>& knobs);

    std::unique_ptr<TempDir> dir_;
    std::optional<ChildProcess> child_;
};

}  // namespace vantrel::testing
