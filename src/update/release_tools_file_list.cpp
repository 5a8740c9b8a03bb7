#include "update/release_tools_file_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "update/shell.h"

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

bool isHexDigest(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// One run of the checksum tool over every file; its lines come in the order of the arguments.
bool addDigests(const std::vector<fs::path>& files, std::vector<nlohmann::json*>& entries,
                const std::string& tool) {
    if (files.empty()) {
        return true;
    }
    std::vector<std::string> arguments{"-a", "256"};
    for (const auto& file : files) {
        arguments.push_back(file.string());
    }
    auto result = shell(tool, arguments);
    if (result.status != 0) {
        return false;
    }
    std::string_view output = result.output;
    for (size_t i = 0; i < files.size(); ++i) {
        size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        if (end == std::string_view::npos || line.size() < 66 || !isHexDigest(line.substr(0, 64)) ||
            line.substr(64) != "  " + files[i].string()) {
            return false;
        }
        (*entries[i])["sha256"] = std::string(line.substr(0, 64));
        output.remove_prefix(end + 1);
    }
    return true;
}

}  // namespace

std::optional<nlohmann::json> describeBundle(const fs::path& bundle,
                                             const std::string& checksumTool) {
    std::error_code error;
    auto root = fs::canonical(bundle, error);
    if (error || !fs::is_directory(fs::symlink_status(bundle, error))) {
        return std::nullopt;
    }
    nlohmann::json entries = nlohmann::json::object();
    std::vector<fs::path> files;
    std::vector<std::string> fileNames;
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        auto name = it->path().lexically_relative(root).generic_string();
        if (name == kFileListName || name == kFileListSignatureName) {
            continue;
        }
        // The checksum tool escapes these in its output, so they could not be matched up.
        if (name.find_first_of("\n\\") != std::string::npos) {
            return std::nullopt;
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
            entries[name] = {{"type", "file"}, {"mode", modeText(it->path())}};
            files.push_back(it->path());
            fileNames.push_back(name);
        } else {
            return std::nullopt;
        }
    }
    if (error) {
        return std::nullopt;
    }
    std::vector<nlohmann::json*> fileEntries;
    for (const auto& name : fileNames) {
        fileEntries.push_back(&entries[name]);
    }
    if (!addDigests(files, fileEntries, checksumTool)) {
        return std::nullopt;
    }
    return nlohmann::json{{"entries", std::move(entries)}};
}

}  // namespace vantrel
