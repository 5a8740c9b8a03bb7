#include "agent/agent_log.h"

#include <fcntl.h>
#include <unistd.h>

#include "support/file_io.h"

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
    if (fd_.valid()) {
        writeAll(fd_.get(), text);
    }
}

}  // namespace vantrel
