#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// A real application process started from a bundle, its standard output and error collected.
class RunningApp {
  public:
    RunningApp(const std::filesystem::path& executable, std::vector<std::string> arguments,
               std::vector<std::string> environment);
    ~RunningApp();
    RunningApp(const RunningApp&) = delete;
    RunningApp& operator=(const RunningApp&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;
    bool waitForOutput(const std::string& text, double seconds = 15) const;
    void signal(int number) const;
    // The exit status (code or signal number), or nothing if it has not ended in time.
    std::optional<int> waitForExit(double seconds = 15);

  private:
    std::optional<ChildProcess> child_;
    pid_t pid_ = 0;
    // Shared with the reader, which may outlive this object while a process left behind holds the
    // pipe open.
    struct Output {
        std::mutex mutex;
        std::string text;
        bool closed = false;
    };
    std::shared_ptr<Output> output_ = std::make_shared<Output>();
    std::thread reader_;
    std::thread waiter_;
    mutable std::mutex mutex_;
    std::optional<int> status_;
};

// Waits for a process (any, not only a child) to end, for at most the guard time given, and leaves
// a child of this process to be reaped by its owner. False only when it still ran at the guard.
bool processEnds(pid_t pid, double guardSeconds = 120);

// While it lives, descendants whose parent ends become this process's children instead of
// init's, so that their end can be awaited; the ones left are reaped when it ends.
class AdoptOrphans {
  public:
    AdoptOrphans();
    ~AdoptOrphans();
    AdoptOrphans(const AdoptOrphans&) = delete;
    AdoptOrphans& operator=(const AdoptOrphans&) = delete;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
int freeLoopbackPort();

// Whether something accepts connections on 127.0.0.1 at that port.
bool portAnswers(int port);

// This process's environment with HOME, the XDG folders and the runtime folder inside `home`, and
// the reference agent on a free port of its own.
std::vector<std::string> sandboxedEnvironment(const std::filesystem::path& home);

// A Python child serving on 127.0.0.1 until it is destroyed: the reference agent from the source
// tree, or `script` (Python text that takes its port from VANTREL_SIM_PORT). `knobs` are extra
// NAME=value entries of its environment. Port 0 picks a free one, away from the fixed agent port
// that other test programs use.
class PythonServer {
  public:
    explicit PythonServer(const std::vector<std::string>& knobs = {}, int port = 0,
                          const std::string& script = "");

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    bool waitUntilListening(double timeoutSeconds = 15) const;
    std::string output() const { return app_->output(); }

  private:
    TempDir dir_;
    int port_;
    std::unique_ptr<RunningApp> app_;
};

}  // namespace vantrel::testing
