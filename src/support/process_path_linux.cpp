#include <unistd.h>

#include <charconv>
#include <string>

#include "support/file_io.h"
#include "support/process_path.h"

namespace vantrel {
namespace {

std::string procFile(pid_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

}  // namespace

std::optional<std::filesystem::path> executablePathOf(pid_t pid) {
    char buffer[4096] = {};
    std::string link = procFile(pid, "exe");
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return std::nullopt;
    }
    return std::filesystem::path(std::string(buffer, static_cast<size_t>(length)));
}

// The command name (field 2) may hold spaces and parentheses, so fields are counted after its
// closing parenthesis, the last one on the line: field 3 comes first there.
std::optional<std::uint64_t> startTimeOf(pid_t pid) {
    auto text = readWholeFile(procFile(pid, "stat"), 4096);
    auto close = text ? text->rfind(')') : std::string::npos;
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::string_view rest = std::string_view(*text).substr(close + 1);
    for (int field = 3; field < 22; ++field) {
        auto space = rest.find(' ', 1);
        if (space == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(space);
    }
    rest.remove_prefix(1);
    std::uint64_t ticks = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), ticks);
    if (error != std::errc() || end == rest.data()) {
        return std::nullopt;
    }
    return ticks;
}

std::string currentBootId() {
    auto text = readWholeFile("/proc/sys/kernel/random/boot_id", 256);
    if (!text) {
        return {};
    }
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) {
        text->pop_back();
    }
    return *text;
}

}  // namespace vantrel
