// Builds a real tar archive from random bytes (one member a line: a kind letter f, d, l, h or c,
// the name, then a tab and the link target) and unpacks it as an update does. For every archive
// the unpacking keeps, the kernel is asked whether each link it created resolves beneath the
// folder; a refused archive leaves no folder.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "require.h"
#include "update/archive_extraction.h"

namespace {

namespace fs = std::filesystem;

void addMember(archive* writer, std::string_view line) {
    if (line.empty()) {
        return;
    }
    std::string name(line.substr(1, line.find('\t') - 1));
    std::string target(line.find('\t') == std::string_view::npos
                           ? std::string_view()
                           : line.substr(line.find('\t') + 1));
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_perm(entry, 0755);
    switch (line.front()) {
        case 'd':
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case 'l':
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, target.c_str());
            break;
        case 'h':
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, target.c_str());
            break;
        case 'c':
            archive_entry_set_filetype(entry, AE_IFCHR);
            break;
        default:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, 1);
    }
    if (archive_write_header(writer, entry) == ARCHIVE_OK &&
        archive_entry_filetype(entry) == AE_IFREG && !archive_entry_hardlink(entry)) {
        archive_write_data(writer, "x", 1);
    }
    archive_entry_free(entry);
}

void writeArchive(const fs::path& path, std::string_view members) {
    archive* writer = archive_write_new();
    archive_write_set_format_pax_restricted(writer);
    archive_write_open_filename(writer, path.c_str());
    while (!members.empty()) {
        size_t end = members.find('\n');
        addMember(writer, members.substr(0, end));
        members = end == std::string_view::npos ? std::string_view() : members.substr(end + 1);
    }
    archive_write_close(writer);
    archive_write_free(writer);
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
    const fs::path archive = fs::path(folder) / "release.tar";
    const fs::path into = fs::path(folder) / "bundle";
    writeArchive(archive, std::string_view(reinterpret_cast<const char*>(data), size));
    bool kept = vantrel::extractArchive(archive, "VantrelAgent", into);
    std::error_code error;
    vantrel::fuzz::require(kept || !fs::exists(fs::symlink_status(into, error)),
                           "a refused archive leaves no folder");
    if (kept) {
        int root = ::open(into.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        for (fs::recursive_directory_iterator it(into, error), end; !error && it != end;
             it.increment(error)) {
            auto name = fs::relative(it->path(), into).string();
            vantrel::fuzz::require(!it->is_symlink(error) || !escapes(root, name),
                                   "every kept link resolves inside the folder", name);
        }
        ::close(root);
    }
    fs::remove_all(folder, error);
    return 0;
}
