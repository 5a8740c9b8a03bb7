#include "support/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "support/error_text.h"

namespace vantrel {
namespace {

bool fromEnvironment() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    return value && value[0] == '/';
}

// The session's folder is the session's to create; a missing one is a problem to report.
std::string checkSessionFolder(const std::filesystem::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return describe(errno);
    }
    return S_ISDIR(info.st_mode) ? std::string() : describe(ENOTDIR);
}

}  // namespace

std::string preparePrivateFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return describe(errno);
    }
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
        return describe(errno);
    }
    if (info.st_uid != ::geteuid()) {
        return "it belongs to another user";
    }
    if ((info.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
        return describe(errno);
    }
    return {};
}

std::filesystem::path InstanceLock::runtimeDirectory() {
    if (fromEnvironment()) {
        return std::getenv("XDG_RUNTIME_DIR");
    }
    return "/tmp/vantrel-agent-" + std::to_string(::getuid());
}

InstanceLock::Attempt InstanceLock::acquire() {
    auto folder = runtimeDirectory();
    std::string problem =
        fromEnvironment() ? checkSessionFolder(folder) : preparePrivateFolder(folder);
    auto cannotUse = [&folder](const std::string& reason) {
        return Attempt{std::nullopt,
                       "cannot use the runtime folder " + folder.string() + ": " + reason};
    };
    if (!problem.empty()) {
        return cannotUse(problem);
    }
    UniqueFd fd(
        ::open((folder / "vantrel-agent.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return cannotUse(describe(errno));
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? Attempt{} : cannotUse(describe(errno));
    }
    return {InstanceLock(std::move(fd)), {}};
}

}  // namespace vantrel
