#include "agent/orphan_reaper.h"

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/pid_file.h"
#include "support/process_descriptor.h"
#include "support/process_path.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

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
    // The same path below the bundle folders.
    std::string lastShared;
    while (!running.empty() && !own.empty() && running.back() == own.back()) {
        lastShared = running.back();
        running.pop_back();
        own.pop_back();
    }
    if (error || running.empty() || own.empty()) {
        return !error && running.empty() && own.empty();  // the same path, its file since replaced
    }
    // Parked beside the bundle (".B-…/…"), or moved whole into a folder beside it (".B-…/B/…").
    bool sibling = running.size() == own.size() && !own.back().empty() &&
                   running.back().starts_with("." + own.back() + "-");
    bool nested = running.size() == own.size() + 1 && !lastShared.empty() &&
                  running.back().starts_with("." + lastShared + "-");
    size_t parentSize = own.size() - (sibling ? 1 : 0);
    return (sibling || nested) &&
           std::equal(own.begin(), own.begin() + parentSize, running.begin());
}

std::optional<pid_t> reapOrphan(const std::filesystem::path& pidFile,
                                const std::filesystem::path& interpreter, double graceSeconds) {
    auto recorded = readPidFile(pidFile);
    if (!recorded) {
        return std::nullopt;
    }
    // Opened before the identity is checked: a process that matches it then is the one the
    // descriptor holds, since a process that started later cannot have the recorded start.
    UniqueFd process = openProcessDescriptor(recorded->pid);
    auto executable = process.valid() ? executablePathOf(recorded->pid) : std::nullopt;
    if (!executable || AgentIdentity::of(recorded->pid) != recorded ||
        !isInstallInterpreter(*executable, interpreter)) {
        return std::nullopt;
    }
    if (!sendSignal(process.get(), SIGTERM) || !endsWithin(process.get(), graceSeconds)) {
        sendSignal(process.get(), SIGKILL);
        endsWithin(process.get(), -1);
    }
    std::error_code ignored;
    std::filesystem::remove(pidFile, ignored);
    return recorded->pid;
}

}  // namespace vantrel
