#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/task_queue.h"
#include "support/unique_fd.h"

namespace vantrel {

// Prints lines to a descriptor (the headless standard output) so that a reader that falls behind,
// or none at all, never holds up the caller. Given the caller's queue, the lines printed in one of
// its tasks go out together after it, from the caller's thread, when the descriptor takes them
// without waiting (a regular file, or a pipe with room, written through a non-blocking opening of
// its own). Otherwise a thread of the printer's own writes them; while more than `limit` bytes
// wait, the oldest waiting lines are dropped: the reader always gets the latest one.
class LinePrinter {
  public:
    static constexpr size_t kLimit = 64 * 1024;

    explicit LinePrinter(int fd, size_t limit = kLimit,
                         std::shared_ptr<TaskQueue> caller = nullptr);
    // Writes what the reader takes at once, then stops; never waits for a reader.
    ~LinePrinter();
    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    // The whole text, U+0000 included, then a newline.
    void print(const std::string& text);

  private:
    void run();
    size_t pieceLocked(std::string& piece);
    bool nextPiece(std::string& piece);
    void wrote(size_t count);
    void wroteLocked(size_t count);
    void writeNow();
    void wake();
    void drainWakeups();

    int fd_;
    size_t limit_;
    std::shared_ptr<TaskQueue> caller_;
    UniqueFd reopened_;  // the pipe's non-blocking opening, when it is one
    int direct_ = -1;    // what the caller's thread writes to, when it never has to wait
    bool writeNowPosted_ = false;
    std::string directPiece_;  // kept for its capacity
    std::shared_ptr<LinePrinter*> alive_ = std::make_shared<LinePrinter*>(this);
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
