#include "app/line_printer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace vantrel {

LinePrinter::LinePrinter(int fd, size_t limit, std::shared_ptr<TaskQueue> caller)
    : fd_(fd), limit_(limit), caller_(std::move(caller)) {
    // A pipe's own opening has its own file status: the reader's end and other writers keep
    // theirs. A write of up to PIPE_BUF bytes to it goes whole or not at all.
    struct stat target {};
    if (caller_ && ::fstat(fd, &target) == 0 && S_ISFIFO(target.st_mode)) {
        reopened_.reset(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                               O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        direct_ = reopened_.get();
    } else if (caller_ && S_ISREG(target.st_mode)) {
        direct_ = fd;
    }
    auto wake = makePipe(O_CLOEXEC | O_NONBLOCK);
    wakeRead_ = std::move(wake.readEnd);
    wakeWrite_ = std::move(wake.writeEnd);
    thread_ = std::thread([this] { run(); });
}

LinePrinter::~LinePrinter() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake();
    thread_.join();
}

void LinePrinter::print(const std::string& text) {
    bool waiting;
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        auto& line = lines_.emplace_back();
        line.reserve(text.size() + 1);
        line.append(text).push_back('\n');
        bytes_ += line.size();
        // A line that has begun to go out stays, or the reader would see half of it.
        size_t keep = writing_ ? pieceLines_ : (offset_ > 0 ? 1 : 0);
        while (bytes_ > limit_ && lines_.size() > keep + 1) {
            bytes_ -= lines_[keep].size();
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(keep));
        }
        // A busy thread takes the new line on its next round; a waiting one must be woken, unless
        // the caller's thread writes it.
        if (direct_ >= 0 && !writing_) {
            post = !std::exchange(writeNowPosted_, true);
            waiting = false;
        } else {
            waiting = std::exchange(waiting_, false);
        }
    }
    if (post) {
        caller_->post([weak = std::weak_ptr(alive_)] {
            if (auto self = weak.lock()) {
                (*self)->writeNow();
            }
        });
    }
    if (waiting) {
        wake();
    }
}

// On the caller's thread: what the descriptor takes without waiting; the thread writes the rest.
void LinePrinter::writeNow() {
    bool waiting = false;
    {
        std::lock_guard lock(mutex_);
        writeNowPosted_ = false;
        while (!writing_ && pieceLocked(directPiece_) > 0) {
            ssize_t written = ::write(direct_, directPiece_.data(), directPiece_.size());
            wroteLocked(static_cast<size_t>(std::max<ssize_t>(written, 0)));
            if (written != static_cast<ssize_t>(directPiece_.size())) {
                break;
            }
        }
        if (!lines_.empty()) {
            waiting = std::exchange(waiting_, false);
        }
    }
    if (waiting) {
        wake();
    }
}

void LinePrinter::wake() {
    char byte = 1;
    [[maybe_unused]] auto ignored = ::write(wakeWrite_.get(), &byte, 1);
}

void LinePrinter::drainWakeups() {
    char buffer[64];
    while (::read(wakeRead_.get(), buffer, sizeof buffer) > 0) {
    }
}

// As many waiting lines as fit in PIPE_BUF bytes: once the descriptor polls writable, a write that
// small goes through without waiting for the reader, and a burst of lines costs one write. Returns
// how many lines it holds, the last perhaps in part.
size_t LinePrinter::pieceLocked(std::string& piece) {
    piece.clear();
    size_t lines = 0;
    size_t skip = offset_;
    for (const auto& line : lines_) {
        if (piece.size() == PIPE_BUF) {
            break;
        }
        piece.append(line, skip, PIPE_BUF - piece.size());
        skip = 0;
        ++lines;
    }
    return lines;
}

// The thread's next piece; with nothing to write, it says it waits, so that print() wakes it.
bool LinePrinter::nextPiece(std::string& piece) {
    std::lock_guard lock(mutex_);
    pieceLines_ = pieceLocked(piece);
    writing_ = !piece.empty();
    waiting_ = piece.empty();
    return writing_;
}

void LinePrinter::wrote(size_t count) {
    std::lock_guard lock(mutex_);
    writing_ = false;
    wroteLocked(count);
}

void LinePrinter::wroteLocked(size_t count) {
    while (count > 0) {
        size_t rest = lines_.front().size() - offset_;
        if (count < rest) {
            offset_ += count;
            return;
        }
        count -= rest;
        bytes_ -= lines_.front().size();
        lines_.pop_front();
        offset_ = 0;
    }
}

void LinePrinter::run() {
    std::string piece;
    for (;;) {
        bool closing;
        {
            std::lock_guard lock(mutex_);
            closing = closing_;
        }
        bool hasPiece = nextPiece(piece);
        if (!hasPiece && closing) {
            return;
        }
        pollfd fds[2] = {{wakeRead_.get(), POLLIN, 0}, {fd_, POLLOUT, 0}};
        int ready = ::poll(fds, hasPiece ? 2 : 1, closing ? 0 : -1);
        if (fds[0].revents != 0) {
            drainWakeups();
        }
        if (!hasPiece) {
            continue;
        }
        if (ready == 0 && closing) {
            return;
        }
        ssize_t written = 0;
        if (fds[1].revents != 0) {
            written = ::write(fd_, piece.data(), piece.size());
        }
        if (written < 0 && errno != EINTR && errno != EAGAIN) {
            return;  // the reader is gone; nothing more can be printed
        }
        wrote(static_cast<size_t>(std::max<ssize_t>(written, 0)));
    }
}

}  // namespace vantrel
