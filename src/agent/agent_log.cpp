#include "agent/agent_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel {

void AgentLog::open() {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid()) {
        return;
    }
    off_t size = ::lseek(fd_.get(), 0, SEEK_END);
    if (size > kSizeLimit && ::ftruncate(fd_.get(), 0) == 0) {
        ::lseek(fd_.get(), 0, SEEK_SET);
    }
}

void AgentLog::append(std::string_view text) {
    if (!fd_.valid()) {
        open();
    }
    while (fd_.valid() && !text.empty()) {
        ssize_t written = ::write(fd_.get(), text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace vantrel
