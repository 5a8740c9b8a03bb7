#include "diagnostics/archive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "support/file_io.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

// A plain write over any file of the same name, as a user's own save would be.
bool writeFile(const std::filesystem::path& target, std::string_view bytes) {
    UniqueFd file(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return file.valid() && writeAll(file.get(), bytes) && ::close(file.release()) == 0;
}

}  // namespace

std::vector<std::filesystem::path> archiveFolders(const std::filesystem::path& desktop,
                                                  const std::filesystem::path& support) {
    if (desktop.empty()) {
        return {support};
    }
    return {desktop, support};
}

std::optional<std::filesystem::path> saveArchive(
    std::string_view bytes, const std::string& name,
    const std::vector<std::filesystem::path>& folders) {
    for (const auto& folder : folders) {
        // An existing file in the folder's place is an error here too.
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) {
            continue;
        }
        const auto target = folder / name;
        if (writeFile(target, bytes)) {
            return target;
        }
    }
    return std::nullopt;
}

}  // namespace vantrel
