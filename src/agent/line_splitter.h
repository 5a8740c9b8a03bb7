#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vantrel {

// Cuts the agent's text into lines. The unfinished last line is kept across chunks (and across
// relaunches) up to a cap; a line that grows past the cap is dropped whole, so an agent that never
// ends a line costs bounded memory and time proportional to each chunk.
class LineSplitter {
  public:
    static constexpr size_t kDefaultCap = 64 * 1024;

    explicit LineSplitter(size_t cap = kDefaultCap) : cap_(cap) {}

    // Calls onLine with every line that the text completes, without its line feed.
    void feed(std::string_view text, const std::function<void(std::string_view)>& onLine);

    const std::string& pending() const { return pending_; }

  private:
    void keep(std::string_view piece);

    size_t cap_;
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace vantrel
