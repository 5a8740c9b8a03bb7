#include "agent/pid_file.h"

#include <charconv>
#include <limits>
#include <string>
#include <vector>

#include "support/atomic_file.h"
#include "support/file_io.h"
#include "support/process_path.h"

namespace vantrel {
namespace {

// A record with white space around it fits many times over; anything larger is not a pid file.
constexpr size_t kLargestPidFile = 4096;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> result;
    size_t at = 0;
    while (at < text.size()) {
        if (isSpace(text[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && !isSpace(text[end])) {
            ++end;
        }
        result.push_back(text.substr(at, end - at));
        at = end;
    }
    return result;
}

bool isBootId(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<AgentIdentity> AgentIdentity::of(pid_t pid) {
    auto started = startTimeOf(pid);
    if (!started) {
        return std::nullopt;
    }
    return AgentIdentity{pid, *started, currentBootId()};
}

std::optional<pid_t> parsePid(std::string_view text) {
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

std::optional<AgentIdentity> parsePidFile(std::string_view text) {
    auto fields = words(text);
    if (fields.size() != 3 || !isBootId(fields[2])) {
        return std::nullopt;
    }
    auto pid = parsePid(fields[0]);
    std::uint64_t started = 0;
    auto [end, error] =
        std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), started);
    if (!pid || error != std::errc() || end != fields[1].data() + fields[1].size()) {
        return std::nullopt;
    }
    return AgentIdentity{*pid, started, std::string(fields[2])};
}

std::optional<AgentIdentity> readPidFile(const std::filesystem::path& path) {
    auto text = readWholeFile(path, kLargestPidFile);
    return text ? parsePidFile(*text) : std::nullopt;
}

bool writePidFile(const std::filesystem::path& path, const AgentIdentity& agent) {
    return writeFileAtomically(path, std::to_string(agent.pid) + " " +
                                         std::to_string(agent.startTime) + " " + agent.bootId +
                                         "\n");
}

}  // namespace vantrel
