#include "update/archive_extraction.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "support/file_io.h"
#include "support/unique_fd.h"
#include "update/scratch_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Kind = ArchiveEntry::Kind;

struct ArchiveCloser {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<archive, ArchiveCloser>;

Reader openReader(int fd) {
    Reader reader(archive_read_new());
    if (!reader || archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        archive_read_support_format_tar(reader.get()) != ARCHIVE_OK ||
        archive_read_open_fd(reader.get(), fd, 64 * 1024) != ARCHIVE_OK) {
        return nullptr;
    }
    return reader;
}

// Names as the archive's bytes give them: UTF-8 where the header says so, else raw.
const char* nameOf(const char* utf8, const char* raw) {
    return utf8 ? utf8 : raw;
}

std::optional<ArchiveEntry> describe(archive_entry* header) {
    const char* name = nameOf(archive_entry_pathname_utf8(header), archive_entry_pathname(header));
    if (!name) {
        return std::nullopt;
    }
    ArchiveEntry entry;
    entry.name = name;
    entry.mode = archive_entry_perm(header);
    entry.size = archive_entry_size_is_set(header) ? archive_entry_size(header) : 0;
    const char* hardlink =
        nameOf(archive_entry_hardlink_utf8(header), archive_entry_hardlink(header));
    const char* symlink = nameOf(archive_entry_symlink_utf8(header), archive_entry_symlink(header));
    if (hardlink) {
        entry.kind = Kind::hardlink;
        entry.linkTarget = hardlink;
    } else if (archive_entry_filetype(header) == AE_IFREG) {
        entry.kind = Kind::file;
    } else if (archive_entry_filetype(header) == AE_IFDIR) {
        entry.kind = Kind::folder;
    } else if (archive_entry_filetype(header) == AE_IFLNK && symlink) {
        entry.kind = Kind::symlink;
        entry.linkTarget = symlink;
    }
    return entry;
}

// The next header, or nothing at the archive's end (`ended`) or on an error.
std::optional<ArchiveEntry> nextEntry(archive* reader, bool& ended) {
    archive_entry* header = nullptr;
    int status = archive_read_next_header(reader, &header);
    ended = status == ARCHIVE_EOF;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
        return std::nullopt;
    }
    return describe(header);
}

// The member's path below the extraction folder, its parts joined.
std::string relativePath(const ArchiveEntry& entry, std::string_view top) {
    std::string path;
    auto parts = pathInside(entry.name, top);
    for (const auto& part : parts.value_or(std::vector<std::string>{})) {
        path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

// Missing folders on the way to `path`, as tar makes them.
bool makeParents(int root, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (::mkdirat(root, path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool writeFileData(archive* reader, int root, const std::string& path, const ArchiveEntry& entry,
                   std::uint64_t& budget) {
    UniqueFd out(
        ::openat(root, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return false;
    }
    std::uint64_t left = std::min(entry.size, budget);
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        la_ssize_t got = archive_read_data(reader, buffer.data(), buffer.size());
        if (got < 0 || static_cast<std::uint64_t>(got) > left) {
            return false;
        }
        if (got == 0) {
            break;
        }
        left -= static_cast<std::uint64_t>(got);
        budget -= static_cast<std::uint64_t>(got);
        if (!writeAll(out.get(), std::string_view(buffer.data(), static_cast<size_t>(got)))) {
            return false;
        }
    }
    return ::fchmod(out.get(), entry.mode & 0555) == 0;
}

bool isFolder(int root, const std::string& path) {
    struct stat info {};
    return ::fstatat(root, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

bool writeEntry(archive* reader, int root, const ArchiveEntry& entry, std::string_view top,
                std::uint64_t& budget) {
    std::string path = relativePath(entry, top);
    if (path.empty()) {
        return true;  // the extraction folder itself
    }
    if (!makeParents(root, path)) {
        return false;
    }
    switch (entry.kind) {
        case Kind::file:
            return writeFileData(reader, root, path, entry, budget);
        case Kind::folder:
            return ::mkdirat(root, path.c_str(), 0755) == 0 ||
                   (errno == EEXIST && isFolder(root, path));
        case Kind::symlink:
            return ::symlinkat(entry.linkTarget.c_str(), root, path.c_str()) == 0;
        default:
            return false;
    }
}

// The second reading: each header must be the one judged, in the same place.
bool writeEntries(int fd, const std::vector<ArchiveEntry>& judged, int root, std::string_view top,
                  const ArchiveLimits& limits) {
    auto reader = openReader(fd);
    if (!reader) {
        return false;
    }
    std::uint64_t budget = limits.bytes;
    bool ended = false;
    for (const auto& expected : judged) {
        auto entry = nextEntry(reader.get(), ended);
        if (!entry || *entry != expected || !writeEntry(reader.get(), root, *entry, top, budget)) {
            return false;
        }
    }
    nextEntry(reader.get(), ended);
    return ended;
}

}  // namespace

std::optional<std::vector<ArchiveEntry>> listArchive(int fd, std::size_t most) {
    auto reader = openReader(fd);
    if (!reader) {
        return std::nullopt;
    }
    std::vector<ArchiveEntry> entries;
    for (bool ended = false;;) {
        auto entry = nextEntry(reader.get(), ended);
        if (ended) {
            return entries;
        }
        if (!entry || entries.size() == most ||
            archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
}

bool extractArchive(const fs::path& archive, std::string_view top, const fs::path& into,
                    const ArchiveLimits& limits) {
    UniqueFd file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    auto entries = listArchive(file.get(), limits.entries);
    if (!entries || !archiveIsSafe(*entries, top, limits) ||
        ::lseek(file.get(), 0, SEEK_SET) != 0 || ::mkdir(into.c_str(), 0700) != 0) {
        return false;
    }
    UniqueFd root(::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    bool written = root.valid() && writeEntries(file.get(), *entries, root.get(), top, limits) &&
                   ::fchmod(root.get(), 0755) == 0;
    if (!written) {
        removeTree(into);
    }
    return written;
}

}  // namespace vantrel
