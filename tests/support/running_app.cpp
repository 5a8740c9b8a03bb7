#include "support/running_app.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace vantrel::testing {

RunningApp::RunningApp(const std::filesystem::path& executable, std::vector<std::string> arguments,
                       std::vector<std::string> environment) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    auto started = ChildProcess::spawn(
        {executable.string(), std::move(arguments), std::move(environment), writeEnd.get()});
    writeEnd.reset();
    if (!started.child) {
        return;
    }
    child_ = std::move(started.child);
    pid_ = child_->pid();
    reader_ = std::thread([output = output_, fd = std::move(readEnd)] {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
            std::lock_guard lock(output->mutex);
            output->text.append(buffer, static_cast<size_t>(got));
        }
        std::lock_guard lock(output->mutex);
        output->closed = true;
    });
    waiter_ = std::thread([this] {
        int status = child_->wait();
        std::lock_guard lock(mutex_);
        status_ = status;
    });
}

RunningApp::~RunningApp() {
    if (child_ && !waitForExit(0)) {
        child_->signal(SIGKILL);
    }
    if (waiter_.joinable()) {
        waiter_.join();
    }
    if (reader_.joinable()) {
        reader_.detach();  // an agent left behind may hold the pipe; the test does not wait for it
    }
}

std::string RunningApp::output() const {
    std::lock_guard lock(output_->mutex);
    return output_->text;
}

bool RunningApp::waitForOutput(const std::string& text, double seconds) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, seconds);
}

void RunningApp::signal(int number) const {
    if (child_) {
        child_->signal(number);
    }
}

std::optional<int> RunningApp::waitForExit(double seconds) {
    auto status = [&] {
        std::lock_guard lock(mutex_);
        return status_;
    };
    eventually([&] { return status().has_value(); }, seconds);
    if (status()) {
        // What the process wrote last is read once its end of the pipe closes; a descendant
        // left holding it only costs this bounded wait.
        eventually(
            [&] {
                std::lock_guard lock(output_->mutex);
                return output_->closed;
            },
            5);
    }
    return status();
}

bool processEnds(pid_t pid, double guardSeconds) {
    UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!fd.valid()) {
        return errno == ESRCH;
    }
    pollfd entry{fd.get(), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(guardSeconds * 1000)) == 1;
}

AdoptOrphans::AdoptOrphans() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

AdoptOrphans::~AdoptOrphans() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    siginfo_t info = {};
    while (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) == 0 && info.si_pid != 0) {
        info = {};
    }
}

bool portAnswers(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::vector<std::string> sandboxedEnvironment(const std::filesystem::path& home) {
    auto env = currentEnvironment();
    setVariable(env, "HOME", home.string());
    setVariable(env, "XDG_DATA_HOME", (home / "share").string());
    setVariable(env, "XDG_STATE_HOME", (home / "state").string());
    setVariable(env, "XDG_CONFIG_HOME", (home / "config").string());
    setVariable(env, "XDG_RUNTIME_DIR", home.string());
    setVariable(env, "VANTREL_SIM_PORT", std::to_string(freeLoopbackPort()));
    return env;
}

PythonServer::PythonServer(const std::vector<std::string>& knobs, int port,
                           const std::string& script)
    : port_(port ? port : freeLoopbackPort()) {
    auto environment = currentEnvironment();
    setVariable(environment, "PYTHONPATH", VANTREL_SOURCE_DIR "/reference-agent");
    setVariable(environment, "PYTHONDONTWRITEBYTECODE", "1");
    setVariable(environment, "AGENT_STATE", (dir_ / "agent.json").string());
    setVariable(environment, "AGENT_SPOOL", (dir_ / "spool.db").string());
    setVariable(environment, "VANTREL_SIM_INTERVAL", "0.2");
    setVariable(environment, "VANTREL_SIM_PORT", std::to_string(port_));
    for (const auto& knob : knobs) {
        const auto equals = knob.find('=');
        setVariable(environment, knob.substr(0, equals), knob.substr(equals + 1));
    }
    std::vector<std::string> arguments = {"-m", "vantrel_agent", "run"};
    if (!script.empty()) {
        writeFile(dir_ / "server.py", script);
        arguments = {(dir_ / "server.py").string()};
    }
    app_ = std::make_unique<RunningApp>(VANTREL_SYSTEM_PYTHON, std::move(arguments),
                                        std::move(environment));
}

bool PythonServer::waitUntilListening(double timeoutSeconds) const {
    return eventually([this] { return portAnswers(port_); }, timeoutSeconds);
}

int freeLoopbackPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

}  // namespace vantrel::testing
