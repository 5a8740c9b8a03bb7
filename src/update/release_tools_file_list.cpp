#include "update/release_tools_file_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "update/checksum.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

bool isInside(const fs::path& path, const fs::path& folder) {
    auto [end, _] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return end == folder.end();
}

std::optional<nlohmann::json> describeLink(const fs::path& link, const fs::path& root) {
    std::error_code error;
    auto target = fs::read_symlink(link, error);
    if (error || target.empty() || target.is_absolute()) {
        return std::nullopt;
    }
    auto resolved = fs::weakly_canonical(link.parent_path() / target, error);
    if (error || !isInside(resolved, root)) {
        return std::nullopt;
    }
    return nlohmann::json{{"type", "link"}, {"target", target.string()}};
}

std::string modeText(const fs::path& file) {
    struct stat info = {};
    if (::lstat(file.c_str(), &info) != 0) {
        return "";
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return text;
}

}  // namespace

std::optional<nlohmann::json> describeBundle(const fs::path& bundle) {
    std::error_code error;
    auto root = fs::canonical(bundle, error);
    if (error || !fs::is_directory(fs::symlink_status(bundle, error))) {
        return std::nullopt;
    }
    nlohmann::json entries = nlohmann::json::object();
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        auto name = it->path().lexically_relative(root).generic_string();
        if (name == kFileListName || name == kFileListSignatureName) {
            continue;
        }
        auto status = it->symlink_status(error);
        if (fs::is_symlink(status)) {
            auto link = describeLink(it->path(), root);
            if (!link) {
                return std::nullopt;
            }
            entries[name] = std::move(*link);
        } else if (fs::is_directory(status)) {
            entries[name] = {{"type", "dir"}};
        } else if (fs::is_regular_file(status)) {
            auto digest = sha256OfFile(it->path());
            if (!digest) {
                return std::nullopt;
            }
            entries[name] = {{"type", "file"}, {"mode", modeText(it->path())}, {"sha256", *digest}};
        } else {
            return std::nullopt;
        }
    }
    if (error) {
        return std::nullopt;
    }
    return nlohmann::json{{"entries", std::move(entries)}};
}

}  // namespace vantrel
