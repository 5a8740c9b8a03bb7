#include "agent/orphan_reaper.h"

#include <signal.h>
#include <unistd.h>

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

void reapOrphan(const std::filesystem::path& pidFile, const std::filesystem::path& interpreter) {
    auto pid = readPidFile(pidFile);
    if (!pid || !alive(*pid)) {
        return;
    }
    auto executable = executablePathOf(*pid);
    if (!executable || !sameFile(*executable, interpreter)) {
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
