// The UTF-8 stream with the line splitter, fed the same bytes in one chunk and in chunks cut where
// the input says. Whatever the chunking: the text handed on is valid UTF-8, the lines found are
// exactly the complete lines of that text that fit the cap, and for valid input the text is the
// input itself, so the lines and the bytes logged do not depend on the chunking.
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/line_splitter.h"
#include "support/utf8_stream.h"

namespace {

constexpr size_t kCap = 24;

struct Result {
    std::string logged;
    std::vector<std::string> lines;
};

Result run(std::string_view input, const std::vector<size_t>& cuts) {
    vantrel::Utf8Stream stream;
    vantrel::LineSplitter splitter(kCap);
    Result result;
    size_t start = 0;
    for (size_t cut : cuts) {
        auto text = stream.decode(input.substr(start, cut - start));
        start = cut;
        if (!text) {
            continue;
        }
        result.logged.append(*text);
        splitter.feed(*text, [&](std::string_view line) { result.lines.emplace_back(line); });
        if (splitter.pending().size() > kCap) {
            std::abort();
        }
    }
    return result;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end - start <= kCap) {
            lines.push_back(text.substr(start, end - start));
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte seeds the chunk sizes (1 to 16 bytes); the rest is the agent's output.
    unsigned seed = data[0];
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < input.size();) {
        seed = seed * 1103515245 + 12345;
        at = std::min(input.size(), at + 1 + (seed >> 16) % 16);
        cuts.push_back(at);
    }
    Result whole = run(input, {input.size()});
    Result chunked = run(input, cuts);
    for (const Result* result : {&whole, &chunked}) {
        if (vantrel::incompleteTail(result->logged) != std::optional<size_t>(0) ||
            result->lines != linesOf(result->logged)) {
            std::abort();
        }
    }
    if (vantrel::incompleteTail(input) == std::optional<size_t>(0) &&
        (whole.logged != input || chunked.logged != input || whole.lines != chunked.lines)) {
        std::abort();
    }
    return 0;
}
