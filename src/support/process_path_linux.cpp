#include <unistd.h>

#include <string>

#include "support/process_path.h"

namespace vantrel {

std::optional<std::filesystem::path> executablePathOf(pid_t pid) {
    char buffer[4096] = {};
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return std::nullopt;
    }
    return std::filesystem::path(std::string(buffer, static_cast<size_t>(length)));
}

}  // namespace vantrel
