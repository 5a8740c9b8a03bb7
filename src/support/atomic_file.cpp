#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/file_io.h"
#include "support/unique_fd.h"

namespace vantrel {
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
    std::string temporary = path.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    bool written = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), bytes);
    fd.reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vantrel
