#pragma once

#include <sys/types.h>

#include <QObject>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/unique_fd.h"

class QSocketNotifier;

namespace vantrel {

// The application's handle on the setup window, kept and reused for the life of the process. The
// window itself, with the web engine, runs in a process of its own (lib/vantrel-setup-window) that
// lives only while the window is open, so a closed window costs the application nothing. Closing
// the window ends that process; show() then starts it anew, which loads the page anew. A crash of
// that process is a closed window; the application's end ends it too.
class SetupWindow final : public QObject {
    Q_OBJECT
  public:
    // The window's executable, in the bundle.
    static constexpr const char* kProgram = "lib/vantrel-setup-window";

    // `program` is the window's executable, started with `arguments`.
    explicit SetupWindow(std::filesystem::path program, std::vector<std::string> arguments = {},
                         QObject* parent = nullptr);
    ~SetupWindow() override;

    // Opens the window, or brings the open one forward: un-minimised, raised and active.
    void show();
    // Closes the window as its close button does.
    void close();
    // From show() until the window is closed or its process ends.
    bool isOpen() const { return open_; }
    // Open and, as far as its process has told, not minimised.
    bool isShowing() const { return open_ && !minimised_; }

    std::optional<pid_t> pidForTesting() const;

  signals:
    // The window's own Quit command: the application is asked to quit.
    void quitRequested();

  private:
    void start();
    void send(std::string_view command);
    void readReports();
    void take(const std::string& report);
    void ended();

    const std::filesystem::path program_;
    const std::vector<std::string> arguments_;
    std::optional<ChildProcess> child_;
    UniqueFd channel_;
    std::unique_ptr<QSocketNotifier> reports_;
    std::unique_ptr<QSocketNotifier> exit_;
    std::string pending_;
    bool open_ = false;
    bool minimised_ = false;
    // A show() sent and not yet answered: if the process ends first (its window had just been
    // closed), a new one is started.
    bool showAfterEnd_ = false;
};

}  // namespace vantrel
