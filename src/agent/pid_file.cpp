#include "agent/pid_file.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "support/atomic_file.h"
#include "support/file_io.h"

namespace vantrel {
namespace {

// A pid with white space around it fits many times over; anything larger is not a pid file.
constexpr size_t kLargestPidFile = 4096;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::optional<pid_t> parsePidFile(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size() || text.front() == '+' ||
        text.front() == '-') {
        return std::nullopt;
    }
    std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min() || value <= 1) {
        return std::nullopt;
    }
    return static_cast<pid_t>(value);
}

std::optional<pid_t> readPidFile(const std::filesystem::path& path) {
    auto text = readWholeFile(path, kLargestPidFile);
    return text ? parsePidFile(*text) : std::nullopt;
}

bool writePidFile(const std::filesystem::path& path, pid_t pid) {
    return writeFileAtomically(path, std::to_string(pid));
}

}  // namespace vantrel
