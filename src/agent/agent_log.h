#pragma once

#include <filesystem>
#include <string_view>

#include "support/unique_fd.h"

namespace vantrel {

// The agent log: the agent's output verbatim. Opened by the first append that manages to, and
// emptied at that moment when it has grown past the limit; kept open afterwards.
class AgentLog {
  public:
    static constexpr off_t kSizeLimit = 5'000'000;

    explicit AgentLog(std::filesystem::path path) : path_(std::move(path)) {}

    // Failures are ignored: a text that cannot be written is not logged.
    void append(std::string_view text);

  private:
    void open();

    std::filesystem::path path_;
    UniqueFd fd_;
};

}  // namespace vantrel
