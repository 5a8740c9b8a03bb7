#include "update/scratch_folder.h"

#include <system_error>

#include "update/secure_random.h"

namespace vantrel {

std::string canonicalUuid(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string randomUuid() {
    std::array<std::uint8_t, 16> bytes{};
    fillSecureRandom(bytes.data(), bytes.size());  // with no source, whatever was drawn
    return canonicalUuid(bytes);
}

std::filesystem::path scratchFolderPath(const std::filesystem::path& temporary) {
    return temporary / ("vantrel-update-" + randomUuid());
}

void removeTree(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error))) {
        fs::remove(folder, error);
        return;
    }
    // A folder without write permission keeps its entries; open them all up first.
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_symlink(error) && it->is_directory(error)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        }
    }
    fs::remove_all(folder, error);
}

}  // namespace vantrel
