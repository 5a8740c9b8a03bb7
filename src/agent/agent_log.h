#pragma once

#include <filesystem>
#include <string_view>

#include "support/unique_fd.h"

namespace vantrel {

// The agent log: the agent's output verbatim. Opened by the first append that manages to, and
// emptied at that moment when it has grown past the limit. While it runs, a log already past the
// limit is first moved to "<name>.1" (replacing the one before), so a run of months keeps about
// twice the limit on disk.
class AgentLog {
  public:
    static constexpr off_t kSizeLimit = 5'000'000;

    explicit AgentLog(std::filesystem::path path, off_t limit = kSizeLimit)
        : path_(std::move(path)), limit_(limit) {}

    // Failures are ignored: a text that cannot be written is not logged.
    void append(std::string_view text);
    // Ends an unfinished last line, so that what comes next starts a line of its own.
    void endLine();

  private:
    void open(bool emptyPastLimit);
    void rotate();

    std::filesystem::path path_;
    off_t limit_;
    UniqueFd fd_;
    off_t size_ = 0;
    bool midLine_ = false;
};

}  // namespace vantrel
