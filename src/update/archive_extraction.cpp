#include "update/archive_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "support/file_io.h"
#include "support/unique_fd.h"
#include "update/gzip_reader.h"
#include "update/scratch_folder.h"
#include "update/tar_reader.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Kind = ArchiveEntry::Kind;

// Folders are made with exactly this mode, whatever the umask.
constexpr mode_t kFolderMode = 0755;

// The member's path below the extraction folder, its parts joined.
std::string relativePath(const ArchiveEntry& entry, std::string_view top) {
    std::string path;
    auto parts = pathInside(entry.name, top);
    for (const auto& part : parts.value_or(std::vector<std::string>{})) {
        path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

bool isFolder(int root, const std::string& path) {
    struct stat info {};
    return ::fstatat(root, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// A folder at `path`, made or already there, with the folder mode.
bool makeFolder(int root, const std::string& path) {
    bool made = ::mkdirat(root, path.c_str(), kFolderMode) == 0;
    if (!made && !(errno == EEXIST && isFolder(root, path))) {
        return false;
    }
    return ::fchmodat(root, path.c_str(), kFolderMode, 0) == 0;
}

// Missing folders on the way to `path`, as tar makes them.
bool makeParents(int root, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!makeFolder(root, path.substr(0, slash))) {
            return false;
        }
    }
    return true;
}

bool writeFileData(TarReader& reader, int root, const std::string& path, const ArchiveEntry& entry,
                   std::uint64_t& budget) {
    UniqueFd out(
        ::openat(root, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return false;
    }
    std::uint64_t left = std::min(entry.size, budget);
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        auto got = reader.readData(buffer.data(), buffer.size());
        if (!got || *got > left) {
            return false;
        }
        if (*got == 0) {
            break;
        }
        left -= *got;
        budget -= *got;
        if (!writeAll(out.get(), std::string_view(buffer.data(), *got))) {
            return false;
        }
    }
    return ::fchmod(out.get(), entry.mode & 0555) == 0;
}

bool writeEntry(TarReader& reader, int root, const ArchiveEntry& entry, std::string_view top,
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
            return makeFolder(root, path);
        case Kind::symlink:
            return ::symlinkat(entry.linkTarget.c_str(), root, path.c_str()) == 0;
        default:
            return false;
    }
}

// The second reading: each header must be the one judged, in the same place.
bool writeEntries(int fd, const std::vector<ArchiveEntry>& judged, int root, std::string_view top,
                  const ArchiveLimits& limits) {
    GzipReader unzipped(fd);
    TarReader reader(unzipped);
    std::uint64_t budget = limits.bytes;
    for (const auto& expected : judged) {
        auto entry = reader.next();
        if (!entry || *entry != expected || !writeEntry(reader, root, *entry, top, budget)) {
            return false;
        }
    }
    return !reader.next() && reader.ended();
}

}  // namespace

std::optional<std::vector<ArchiveEntry>> listArchive(int fd, const ArchiveLimits& limits) {
    GzipReader unzipped(fd);
    TarReader reader(unzipped);
    // Names bound the listing's memory, far above a release's few hundred KiB.
    constexpr std::size_t kMostNameBytes = 16 << 20;
    std::vector<ArchiveEntry> entries;
    std::uint64_t bytes = 0;
    std::size_t nameBytes = 0;
    while (auto entry = reader.next()) {
        nameBytes += entry->name.size() + entry->linkTarget.size();
        if (entries.size() == limits.entries || (bytes += entry->size) > limits.bytes ||
            nameBytes > kMostNameBytes) {
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
    return reader.ended() ? std::optional(std::move(entries)) : std::nullopt;
}

bool extractArchive(const fs::path& archive, std::string_view top, const fs::path& into,
                    const ArchiveLimits& limits) {
    UniqueFd file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    auto entries = listArchive(file.get(), limits);
    if (!entries || !archiveIsSafe(*entries, top, limits) ||
        ::lseek(file.get(), 0, SEEK_SET) != 0 || ::mkdir(into.c_str(), 0700) != 0) {
        return false;
    }
    UniqueFd root(::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    bool written = root.valid() && writeEntries(file.get(), *entries, root.get(), top, limits) &&
                   ::fchmod(root.get(), kFolderMode) == 0;
    if (!written) {
        removeTree(into);
    }
    return written;
}

}  // namespace vantrel
