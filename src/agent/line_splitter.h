#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
        const char* data = text.data();
        size_t lineStart = 0;
        for (size_t base = 0; base < text.size(); base += 64) {
            // Line feeds are found 64 bytes at a time; each line then costs a few instructions.
            for (std::uint64_t feeds =
                     feedMask(data + base, std::min<size_t>(64, text.size() - base));
                 feeds != 0; feeds &= feeds - 1) {
                size_t at = base + static_cast<size_t>(std::countr_zero(feeds));
                complete(std::string_view(data + lineStart, at - lineStart), onLine);
                lineStart = at + 1;
            }
        }
        keep(text.substr(lineStart));
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

    // Bit i is set when data[i] is a line feed; size is at most 64.
    static std::uint64_t feedMask(const char* data, size_t size) {
#ifdef __SSE2__
        if (size == 64) {
            const __m128i feed = _mm_set1_epi8('\n');
            std::uint64_t mask = 0;
            for (int i = 0; i < 4; ++i) {
                __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
                auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
                mask |= static_cast<std::uint64_t>(found) << (16 * i);
            }
            return mask;
        }
#endif
        return tailFeedMask(data, size);
    }
    static std::uint64_t tailFeedMask(const char* data, size_t size);
    void keep(std::string_view piece);

    size_t cap_;
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace vantrel
