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
    // rather than a function object, so that the call per line costs nothing; the C library's
    // memchr finds each line feed with the widest vectors the processor has.
    template <typename OnLine>
    void feed(std::string_view text, OnLine&& onLine) {
        if (text.empty()) {
            return;  // memchr must not see an empty view's null data
        }
        const char* lineStart = text.data();
        const char* const end = text.data() + text.size();
        while (const auto* feed = static_cast<const char*>(
                   std::memchr(lineStart, '\n', static_cast<size_t>(end - lineStart)))) {
            complete(std::string_view(lineStart, static_cast<size_t>(feed - lineStart)), onLine);
            lineStart = feed + 1;
        }
        keep(std::string_view(lineStart, static_cast<size_t>(end - lineStart)));
    }

    const std::string& pending() const { return pending_; }

  private:
    template <typename OnLine>
    void complete(std::string_view piece, OnLine& onLine) {
        if (pending_.empty() && !overlong_) {
            if (piece.size() <= cap_) {
                onLine(piece);
            }
            return;
        }
        keep(piece);
        if (!overlong_) {
            onLine(std::string_view(pending_));
        }
        pending_.clear();
        overlong_ = false;
    }

    void keep(std::string_view piece);

    size_t cap_;
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace vantrel
