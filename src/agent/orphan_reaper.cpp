#include "agent/orphan_reaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "agent/pid_file.h"
#include "support/process_path.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

// Whether the process behind `process` ends within `seconds` (negative: however long it takes).
bool endsWithin(int process, double seconds) {
    int milliseconds = seconds < 0 ? -1 : static_cast<int>(std::lround(seconds * 1000));
    pollfd ready{process, POLLIN, 0};
    int got;
    while ((got = ::poll(&ready, 1, milliseconds)) < 0 && errno == EINTR) {
    }
    return got > 0;
}

bool sendSignal(int process, int signal) {
    return ::syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0) == 0;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code errorA, errorB;
    auto realA = std::filesystem::canonical(a, errorA);
    auto realB = std::filesystem::canonical(b, errorB);
    return !errorA && !errorB && realA == realB;
}

}  // namespace

bool isInstallInterpreter(const std::filesystem::path& executable,
                          const std::filesystem::path& interpreter) {
    if (sameFile(executable, interpreter)) {
        return true;
    }
    std::string text = executable.string();
    constexpr std::string_view kDeleted = " (deleted)";
    if (text.ends_with(kDeleted)) {
        text.resize(text.size() - kDeleted.size());
    }
    std::error_code error;
    std::vector<std::string> running, own;
    for (const auto& part : std::filesystem::path(text)) {
        running.push_back(part.string());
    }
    for (const auto& part : std::filesystem::weakly_canonical(interpreter, error)) {
        own.push_back(part.string());
    }
    // The same path below the bundle folders, which are siblings.
    while (!running.empty() && !own.empty() && running.back() == own.back()) {
        running.pop_back();
        own.pop_back();
    }
    if (error || running.empty() || own.empty() || running.size() != own.size()) {
        return running.empty() && own.empty();
    }
    bool sameParent = std::equal(running.begin(), running.end() - 1, own.begin());
    return sameParent && running.back().starts_with("." + own.back() + "-");
}

std::optional<pid_t> reapOrphan(const std::filesystem::path& pidFile,
                                const std::filesystem::path& interpreter, double graceSeconds) {
    auto pid = readPidFile(pidFile);
    if (!pid) {
        return std::nullopt;
    }
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0)));
    auto executable = process.valid() ? executablePathOf(*pid) : std::nullopt;
    if (!executable || !isInstallInterpreter(*executable, interpreter)) {
        return std::nullopt;
    }
    if (!sendSignal(process.get(), SIGTERM) || !endsWithin(process.get(), graceSeconds)) {
        sendSignal(process.get(), SIGKILL);
        endsWithin(process.get(), -1);
    }
    return pid;
}

}  // namespace vantrel
