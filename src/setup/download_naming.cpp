#include "setup/download_naming.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "support/offered_file_name.h"
#include "support/error_text.h"

namespace vantrel {
namespace {

constexpr int kLastNumber = 99;

// A dot that starts or ends the name does not begin an extension (".profile", "notes.").
std::string::size_type extensionDot(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
        return std::string::npos;
    }
    return dot;
}

std::string allTakenReason(const std::vector<std::string>& candidates) {
    return "A file named \u201c" + candidates.front() +
           "\u201d and every numbered name up to \u201c" + candidates.back() +
           "\u201d already exist.";
}

}  // namespace

std::vector<std::string> downloadCandidates(const std::string& name) {
    auto dot = extensionDot(name);
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos ? "" : name.substr(dot);
    std::vector<std::string> candidates{name};
    for (int number = 2; number <= kLastNumber; ++number) {
        candidates.push_back(base + " " + std::to_string(number) + extension);
    }
    return candidates;
}

ReservedDownload reserveDownloadDestination(const std::filesystem::path& folder,
                                            const std::string& suggested) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    auto candidates = downloadCandidates(offeredFileName(suggested));
    for (const auto& candidate : candidates) {
        auto path = folder / candidate;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return {path, {}};
        }
        if (errno != EEXIST) {
            return {std::nullopt, path.string() + ": " + describe(errno)};
        }
    }
    return {std::nullopt, allTakenReason(candidates)};
}

}  // namespace vantrel
