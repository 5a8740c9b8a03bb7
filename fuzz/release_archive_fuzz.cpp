// Unpacks random bytes as an update unpacks a release archive: a gzip stream as it is, anything
// else as the tar archive inside a gzip stream, so most inputs reach the tar reader. For every
// archive the unpacking keeps, the kernel is asked whether each link it created resolves beneath
// the folder, and whether folders and files have their fixed modes; a refused archive leaves no
// folder. The seeds are tar archives.
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "require.h"
#include "support/file_io.h"
#include "update/archive_extraction.h"

namespace {

namespace fs = std::filesystem;

std::string gzipped(std::string_view bytes) {
    z_stream stream{};
    std::string out(compressBound(bytes.size()) + 64, '\0');
    deflateInit2(&stream, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
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
    char folder[] = "/tmp/release-archive-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) {
        return 0;
    }
    const fs::path archive = fs::path(folder) / "release.tar.gz";
    const fs::path into = fs::path(folder) / "bundle";
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    int file = ::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    vantrel::writeAll(file, bytes.starts_with("\x1f\x8b") ? std::string(bytes) : gzipped(bytes));
    ::close(file);
    bool kept = vantrel::extractArchive(archive, "VantrelAgent", into);
    std::error_code error;
    vantrel::fuzz::require(kept || !fs::exists(fs::symlink_status(into, error)),
                           "a refused archive leaves no folder");
    if (kept) {
        int root = ::open(into.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        for (fs::recursive_directory_iterator it(into, error), end; !error && it != end;
             it.increment(error)) {
            auto name = fs::relative(it->path(), into).string();
            auto perms = it->symlink_status(error).permissions();
            vantrel::fuzz::require(!it->is_symlink(error) || !escapes(root, name),
                                   "every kept link resolves inside the folder", name);
            vantrel::fuzz::require(!it->is_directory(error) || it->is_symlink(error) ||
                                       perms == fs::perms(0755),
                                   "every kept folder is 0755", name);
            vantrel::fuzz::require(!it->is_regular_file(error) || it->is_symlink(error) ||
                                       (perms & ~fs::perms(0555)) == fs::perms::none,
                                   "no kept file is writable or set-id", name);
        }
        ::close(root);
    }
    fs::remove_all(folder, error);
    return 0;
}
