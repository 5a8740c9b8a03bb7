#pragma once

#include <cstddef>
#include <cstring>
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

    // Calls onLine with every line that the text completes, without its line feed. A template
    // rather than a function object, so that the call per line costs nothing.
    template <typename OnLine>
    void feed(std::string_view text, OnLine&& onLine) {
        const char* at = text.data();
        const char* end = at + text.size();
        while (at != end) {
            const auto* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
            if (!feed) {
                keep(std::string_view(at, end - at));
                return;
            }
            std::string_view piece(at, feed - at);
            if (pending_.empty() && !overlong_) {
                if (piece.size() <= cap_) {
                    onLine(piece);
                }
            } else {
                keep(piece);
                if (!overlong_) {
                    onLine(std::string_view(pending_));
                }
                pending_.clear();
                overlong_ = false;
            }
            at = feed + 1;
        }
    }

    const std::string& pending() const { return pending_; }

  private:
    void keep(std::string_view piece);

    size_t cap_;
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace vantrel
