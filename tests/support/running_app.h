#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <csignal>
#include <memory>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

inline bool readable(int fd, double seconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(seconds * 1000)) == 1;
}

// A real process whose standard output and error go to a file in memory; killed if still running
// at the end.
class RunningApp {
  public:
    RunningApp(const std::filesystem::path& executable, std::vector<std::string> arguments,
               std::vector<std::string> environment)
        : child_(ChildProcess::spawn(
                     {executable, std::move(arguments), std::move(environment), output_.get()})
                     .child) {}
    ~RunningApp() {
        if (child_ && !waitForExit(0)) {
            child_->signal(SIGKILL);
            child_->wait();
        }
    }

    pid_t pid() const { return child_ ? child_->pid() : 0; }
    void signal(int number) const { child_ && child_->signal(number); }
    std::string output() const {
        return readFile("/proc/self/fd/" + std::to_string(output_.get()));
    }
    bool waitForOutput(const std::string& text, double seconds = 15) const {
        return eventually([&] { return output().find(text) != std::string::npos; }, seconds);
    }
    // The exit status (code or signal number), or nothing if it has not ended in time.
    std::optional<int> waitForExit(double seconds = 15) {
        if (!status_ && child_ && readable(child_->descriptor(), seconds)) {
            status_ = child_->wait();
        }
        return status_;
    }

  private:
    UniqueFd output_{::memfd_create("output", MFD_CLOEXEC)};
    std::optional<ChildProcess> child_;
    std::optional<int> status_;
};

// Waits for any process, not only a child, to end (a child is left to its owner to reap). False
// only when it still runs at the guard.
inline bool processEnds(pid_t pid, double guardSeconds = 120) {
    UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return fd.valid() ? readable(fd.get(), guardSeconds) : errno == ESRCH;
}

// While it lives, descendants whose parent ends become this process's children instead of
// init's, so that their end can be awaited; the ones left are reaped when it ends.
struct AdoptOrphans {
    AdoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~AdoptOrphans() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
};

inline sockaddr_in loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
inline int freeLoopbackPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    const bool bound = ::bind(fd.get(), raw, length) == 0;
    return bound && ::getsockname(fd.get(), raw, &length) == 0 ? ntohs(address.sin_port) : 0;
}

// This process's environment with HOME, the XDG folders and the runtime folder inside `home`, and
// the reference agent on a free port of its own.
inline std::vector<std::string> sandboxedEnvironment(const std::filesystem::path& home) {
    auto env = currentEnvironment();
    setVariable(env, "HOME", home.string());
    setVariable(env, "XDG_DATA_HOME", (home / "share").string());
    setVariable(env, "XDG_STATE_HOME", (home / "state").string());
    setVariable(env, "XDG_CONFIG_HOME", (home / "config").string());
    setVariable(env, "XDG_RUNTIME_DIR", home.string());
    setVariable(env, "VANTREL_SIM_PORT", std::to_string(freeLoopbackPort()));
    return env;
}

// A Python child serving on 127.0.0.1 while it lives: the reference agent from the source tree,
// or `script` (which takes its port from VANTREL_SIM_PORT), with extra NAME=value `knobs` in its
// environment. Port 0 picks a free one, away from the fixed agent port other programs use.
class PythonServer {
  public:
    explicit PythonServer(const std::vector<std::string>& knobs = {}, int port = 0,
                          const std::string& script = "")
        : port_(port ? port : freeLoopbackPort()) {
        std::vector<std::string> settings = {"PYTHONPATH=" VANTREL_SOURCE_DIR "/reference-agent",
                                             "PYTHONDONTWRITEBYTECODE=1",
                                             "AGENT_STATE=" + (dir_ / "agent.json").string(),
                                             "AGENT_SPOOL=" + (dir_ / "spool.db").string(),
                                             "VANTREL_SIM_INTERVAL=0.2",
                                             "VANTREL_SIM_PORT=" + std::to_string(port_)};
        settings.insert(settings.end(), knobs.begin(), knobs.end());
        auto env = currentEnvironment();
        for (const auto& knob : settings) {
            setVariable(env, knob.substr(0, knob.find('=')), knob.substr(knob.find('=') + 1));
        }
        app_ = std::make_unique<RunningApp>(
            VANTREL_SYSTEM_PYTHON,
            script.empty() ? std::vector<std::string>{"-m", "vantrel_agent", "run"}
                           : std::vector<std::string>{"-c", script},
            env);
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string output() const { return app_->output(); }
    bool waitUntilListening(double timeoutSeconds = 15) const {
        const auto connects = [this] {
            UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const sockaddr_in address = loopback(port_);
            return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                             sizeof address) == 0;
        };
        return eventually(connects, timeoutSeconds);
    }

  private:
    TempDir dir_;
    int port_;
    std::unique_ptr<RunningApp> app_;
};

}  // namespace vantrel::testing
