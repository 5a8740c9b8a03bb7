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
    // One that others may reach was not made here (this makes it 0700): it may be a shared
    // folder, such as /tmp itself, whose rights are not this program's to change.
    if ((info.st_mode & 077) != 0) {
        return "other users can reach it";
    }
    if ((info.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
        return describe(errno);
    }
    return {};
}

InstanceLock::Attempt InstanceLock::acquire(const std::filesystem::path& dataFolder,
                                            const std::filesystem::path& bundle) {
    auto cannotUse = [&dataFolder](const std::string& reason) {
        return Attempt{std::nullopt,
                       "cannot use the data folder " + dataFolder.string() + ": " + reason};
    };
    std::error_code error;
    std::filesystem::create_directories(dataFolder, error);
    if (error) {
        return cannotUse(error.message());
    }
    UniqueFd data(
        ::open((dataFolder / kFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!data.valid()) {
        return cannotUse(describe(errno));
    }
    if (::flock(data.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? Attempt{} : cannotUse(describe(errno));
    }
    // Held shared by every running copy; an install that holds it exclusively is replacing the
    // bundle, and this copy runs from what it had opened.
    UniqueFd folder(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid() && ::flock(folder.get(), LOCK_SH | LOCK_NB) != 0) {
        folder.reset();
    }
    return {InstanceLock(std::move(data), std::move(folder)), {}};
}

}  // namespace vantrel
