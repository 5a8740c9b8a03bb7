#include "agent/orphan_reaper.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/pid_file.h"
#include "support/process_path.h"

namespace vantrel {
namespace {

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0;
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

void reapOrphan(const std::filesystem::path& pidFile, const std::filesystem::path& interpreter) {
    auto pid = readPidFile(pidFile);
    if (!pid || !alive(*pid)) {
        return;
    }
    auto executable = executablePathOf(*pid);
    if (!executable || !isInstallInterpreter(*executable, interpreter)) {
        return;
    }
    ::kill(*pid, SIGTERM);
    for (int probe = 0; probe < 20 && alive(*pid); ++probe) {
        ::usleep(100'000);
    }
    if (alive(*pid)) {
        ::kill(*pid, SIGKILL);
    }
}

}  // namespace vantrel
