#include "agent/agent_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "support/file_io.h"

namespace vantrel {

void AgentLog::open(bool emptyPastLimit) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid()) {
        return;
    }
    size_ = std::max<off_t>(::lseek(fd_.get(), 0, SEEK_END), 0);
    if (emptyPastLimit && size_ > limit_ && ::ftruncate(fd_.get(), 0) == 0) {
        size_ = ::lseek(fd_.get(), 0, SEEK_SET);
    }
}

void AgentLog::rotate() {
    auto older = path_;
    older += ".1";
    // Removed first, so that the rename replaces nothing: ext4 starts writing a file renamed over
    // another back at once, on the renaming thread, which on a slow card stalls the reading.
    ::unlink(older.c_str());
    if (::rename(path_.c_str(), older.c_str()) == 0) {
        fd_.reset();
        open(false);
    }
}

void AgentLog::append(std::string_view text) {
    if (text.empty()) {
        return;
    }
    if (!fd_.valid()) {
        open(true);
    } else if (size_ > limit_) {
        rotate();
    }
    if (fd_.valid() && writeAll(fd_.get(), text)) {
        size_ += static_cast<off_t>(text.size());
        midLine_ = text.back() != '\n';
    }
}

void AgentLog::endLine() {
    if (midLine_) {
        append("\n");
    }
}

}  // namespace vantrel
