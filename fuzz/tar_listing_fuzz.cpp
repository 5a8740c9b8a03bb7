// Reads random bytes as tar's verbose listing and, for every archive the safety check keeps,
// makes its members for real in a fresh folder the way tar would and asks the kernel whether each
// link resolves beneath that folder.
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "update/release_tools_archive.h"

namespace {

namespace fs = std::filesystem;

// Creates a member below `root` as extraction does: missing parent folders first, nothing
// overwritten.
void create(int root, const vantrel::ArchiveEntry& entry) {
    std::string name = entry.name;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        ::mkdirat(root, name.substr(0, slash).c_str(), 0755);
    }
    if (entry.type == 'd') {
        ::mkdirat(root, name.c_str(), 0755);
    } else if (entry.type == 'l') {
        ::symlinkat(entry.linkTarget.c_str(), root, name.c_str());
    } else {
        ::close(::openat(root, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0644));
    }
}

// EXDEV is the kernel's word for "this resolution leaves the folder".
bool escapes(int root, const std::string& name) {
    open_how how{};
    how.flags = O_PATH;
    how.resolve = RESOLVE_BENEATH;
    long fd = ::syscall(SYS_openat2, root, name.c_str(), &how, sizeof how);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
        return false;
    }
    return errno == EXDEV;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::string_view listing(reinterpret_cast<const char*>(data), size);
    auto entries = vantrel::parseTarListing(listing);
    if (!entries || !vantrel::archiveIsSafe(*entries)) {
        return 0;
    }
    char folder[] = "/tmp/tar-listing-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) {
        return 0;
    }
    int root = ::open(folder, O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    for (const auto& entry : *entries) {
        create(root, entry);
    }
    for (const auto& entry : *entries) {
        if (escapes(root, entry.name)) {
            std::abort();  // a kept member that resolves outside the extraction folder
        }
    }
    ::close(root);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
