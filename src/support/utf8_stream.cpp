#include "support/utf8_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vantrel {
namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Bounds of the second byte for a lead byte; they exclude overlong forms, surrogates and
// code points past U+10FFFF.
bool secondByteValid(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return continuation(second);
    }
}

size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

constexpr size_t kBlock = 128;

// Whether kBlock bytes from p are all ASCII: one test for the whole block keeps plain text cheap.
bool asciiBlock(const unsigned char* p) {
#ifdef __SSE2__
    __m128i any = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    for (size_t i = 1; i < kBlock / 16; ++i) {
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)));
    }
    return _mm_movemask_epi8(any) == 0;
#else
    std::uint64_t words[kBlock / 8];
    std::memcpy(words, p, sizeof words);
    std::uint64_t any = 0;
    for (std::uint64_t word : words) {
        any |= word;
    }
    return (any & 0x8080808080808080ULL) == 0;
#endif
}

}  // namespace

std::optional<size_t> incompleteTail(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    // Characters are judged one by one only in blocks that hold some byte past ASCII; one that
    // starts there may end past the block.
    for (size_t end = 0; i < size;) {
        if (i >= end) {
            if (i + kBlock <= size && asciiBlock(bytes + i)) {
                i += kBlock;
                continue;
            }
            end = i + kBlock;
        }
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = sequenceLength(lead);
        if (length == 0) {
            return std::nullopt;
        }
        size_t available = std::min(length, size - i);
        if (available >= 2 && !secondByteValid(lead, bytes[i + 1])) {
            return std::nullopt;
        }
        for (size_t k = 2; k < available; ++k) {
            if (!continuation(bytes[i + k])) {
                return std::nullopt;
            }
        }
        if (available < length) {
            return available;
        }
        i += length;
    }
    return 0;
}

// The chunk's first bytes complete the held character, or leave it valid and still incomplete.
bool Utf8Stream::continuesCarried(std::string_view chunk) const {
    size_t missing = sequenceLength(static_cast<unsigned char>(carried_[0])) - carried_.size();
    size_t taken = std::min(missing, chunk.size());
    std::string probe = carried_;
    probe.append(chunk.substr(0, taken));
    auto tail = incompleteTail(probe);
    return tail && (*tail == 0 || taken == chunk.size());
}

std::optional<std::string_view> Utf8Stream::decode(std::string_view chunk) {
    std::string_view text = chunk;
    if (!carried_.empty()) {
        if (continuesCarried(chunk)) {
            joined_.assign(carried_);
            joined_.append(chunk);
            text = joined_;
        }
        carried_.clear();
    }
    auto tail = incompleteTail(text);
    if (!tail) {
        return std::nullopt;
    }
    carried_.assign(text.substr(text.size() - *tail));
    return text.substr(0, text.size() - *tail);
}

}  // namespace vantrel
