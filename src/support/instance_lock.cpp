#include "support/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantrel {

std::filesystem::path InstanceLock::runtimeDirectory() {
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value && value[0] == '/') {
        return value;
    }
    std::filesystem::path fallback = "/tmp/vantrel-agent-" + std::to_string(::getuid());
    ::mkdir(fallback.c_str(), 0700);
    return fallback;
}

std::optional<InstanceLock> InstanceLock::acquire() {
    auto path = runtimeDirectory() / "vantrel-agent.lock";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return std::nullopt;
    }
    return InstanceLock(std::move(fd));
}

}  // namespace vantrel
