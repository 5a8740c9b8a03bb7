#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/process_descriptor.h"

extern char** environ;

namespace vantrel {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Straight to the kernel: the C library refuses the signals it reserves for itself, and whoever
// started us may have left those ignored too. An all-zero kernel sigaction is SIG_DFL with no
// flags and an empty mask on every architecture; the kernel's signal set is 64 bits.
void resetSignalDispositions() {
    const unsigned long defaults[8] = {};
    for (int number = 1; number <= 64; ++number) {
        ::syscall(SYS_rt_sigaction, number, defaults, nullptr, 8);
    }
}

// Sends errno to the parent and ends the child; async-signal-safe.
[[noreturn]] void reportAndEnd(int errorPipe) {
    int error = errno;
    (void)!write(errorPipe, &error, sizeof error);
    _exit(127);
}

// Runs in the forked child, so only async-signal-safe calls.
[[noreturn]] void becomeChild(const SpawnRequest& request, char* const* argv, char* const* envp,
                              pid_t parent, int errorPipe) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    resetSignalDispositions();
    // The parent may have ended before the request took effect; then nobody would send it.
    if (request.parentDeathSignal != 0 &&
        (prctl(PR_SET_PDEATHSIG, request.parentDeathSignal) != 0 || getppid() != parent)) {
        _exit(127);
    }
    if (request.newSession && setsid() < 0) {
        reportAndEnd(errorPipe);
    }
    int output = request.output;
    if ((output >= 0 && (dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0)) ||
        (request.input >= 0 && dup2(request.input, STDIN_FILENO) < 0)) {
        reportAndEnd(errorPipe);
    }
    // The middle child ends at once; the program, its child, goes on without a parent of ours.
    if (request.detached) {
        pid_t program = fork();
        if (program < 0) {
            reportAndEnd(errorPipe);
        }
        if (program > 0) {
            _exit(0);
        }
    }
    // Whatever else is open, ours or a library's, must not reach the child.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(request.executable.c_str(), argv, envp);
    reportAndEnd(errorPipe);
}

int readExecError(int fd) {
    int error = 0;
    ssize_t got;
    do {
        got = ::read(fd, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace

ChildProcess::Started ChildProcess::spawn(const SpawnRequest& request) {
    std::vector<std::string> argvStrings{request.executable};
    argvStrings.insert(argvStrings.end(), request.arguments.begin(), request.arguments.end());
    std::vector<std::string> envStrings = request.environment;
    auto argv = pointers(argvStrings);
    auto envp = pointers(envStrings);

    auto [errorRead, errorWrite] = makePipe(O_CLOEXEC);
    if (!errorRead.valid()) {
        return {std::nullopt, errno};
    }

    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        return {std::nullopt, errno};
    }
    if (pid == 0) {
        becomeChild(request, argv.data(), envp.data(), parent, errorWrite.get());
    }
    errorWrite.reset();
    UniqueFd pidfd = openProcessDescriptor(pid);
    // The pipe closes when the program has started or failed to: its last writer is gone.
    int error = readExecError(errorRead.get());
    if (error != 0 || request.detached) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return {std::nullopt, error};
    }
    return {ChildProcess(pid, std::move(pidfd)), 0};
}

bool ChildProcess::signal(int number) const {
    return pidfd_.valid() && sendSignal(pidfd_.get(), number);
}

int ChildProcess::wait() {
    siginfo_t info = {};
    int result;
    do {
        result = pidfd_.valid() ? ::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED)
                                : ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return -1;
    }
    return info.si_status;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        result.emplace_back(*entry);
    }
    return result;
}

void setVariable(std::vector<std::string>& environment, const std::string& name,
                 const std::string& value) {
    std::string prefix = name + "=";
    std::erase_if(environment, [&](const std::string& entry) { return entry.starts_with(prefix); });
    environment.push_back(prefix + value);
}

}  // namespace vantrel
