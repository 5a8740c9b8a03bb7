#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vantrel {

// Calls onFeed with the place of each line feed in the text, in order. Where the processor has
// 16-byte vectors, 64 bytes at a time are compared and their line feeds taken from one mask: a line
// costs a bit scan instead of a call of memchr, which dominates with lines of a few dozen bytes.
template <typename OnFeed>
void forEachLineFeed(std::string_view text, OnFeed&& onFeed) {
    const char* at = text.data();
    const char* const end = text.data() + text.size();
#ifdef __SSE2__
    const __m128i feeds = _mm_set1_epi8('\n');
    for (; end - at >= 64; at += 64) {
        std::uint64_t mask = 0;
        for (int part = 0; part < 4; ++part) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
            auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feeds)));
            mask |= static_cast<std::uint64_t>(found) << (16 * part);
        }
        for (; mask != 0; mask &= mask - 1) {
            onFeed(at + std::countr_zero(mask));
        }
    }
#endif
    // memchr must not see an empty view's null data.
    while (at != end) {
        const auto* feed =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        if (feed == nullptr) {
            return;
        }
        onFeed(feed);
        at = feed + 1;
    }
}

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
        const char* lineStart = text.data();
        forEachLineFeed(text, [&](const char* feed) {
            complete(std::string_view(lineStart, static_cast<size_t>(feed - lineStart)), onLine);
            lineStart = feed + 1;
        });
        keep(std::string_view(lineStart,
                              static_cast<size_t>(text.data() + text.size() - lineStart)));
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
