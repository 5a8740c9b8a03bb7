#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/file_io.h"
#include "support/unique_fd.h"

namespace vantrel {

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         Durability durability, mode_t mode) {
    const bool onDisk = durability == Durability::onDisk;
    // One name, so that what a crash left is replaced by the next write; never a link's target.
    const std::string temporary = path.string() + ".partial";
    ::unlink(temporary.c_str());
    UniqueFd fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        return false;
    }
    bool written = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), bytes) &&
                   (!onDisk || ::fsync(fd.get()) == 0);
    fd.reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return !onDisk || syncToDisk(path.parent_path());
}

bool syncToDisk(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

}  // namespace vantrel
