#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "support/unique_fd.h"

namespace vantrel {

// Prints lines to a descriptor (the headless standard output) on a thread of its own, so that a
// reader that falls behind, or none at all, never holds up the caller. While more than `limit`
// bytes wait, the oldest waiting lines are dropped: the reader always gets the latest one.
class LinePrinter {
  public:
    explicit LinePrinter(int fd, size_t limit = 64 * 1024);
    // Writes what the reader takes at once, then stops; never waits for a reader.
    ~LinePrinter();
    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    // The whole text, U+0000 included, then a newline.
    void print(const std::string& text);

  private:
    void run();
    bool nextPiece(std::string& piece);
    void wrote(size_t count);
    void wake();
    void drainWakeups();

    int fd_;
    size_t limit_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::mutex mutex_;
    std::deque<std::string> lines_;
    size_t bytes_ = 0;
    size_t offset_ = 0;      // bytes of the first line already written
    bool writing_ = false;   // the first lines are being written outside the lock
    size_t pieceLines_ = 0;  // how many of them, which must stay until written
    bool closing_ = false;
    bool waiting_ = false;  // the thread waits for a line and must be woken
    std::thread thread_;
};

}  // namespace vantrel
