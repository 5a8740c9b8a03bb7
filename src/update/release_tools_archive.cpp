#include "update/release_tools_archive.h"

#include <filesystem>

namespace vantrel {
namespace {

char escaped(char c) {
    switch (c) {
        case 'a':
            return '\a';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'v':
            return '\v';
        default:
            return c;  // \\ \" \?
    }
}

// Reads the C-quoted string that starts at `at` (on its opening quote); moves `at` past it.
std::optional<std::string> quoted(std::string_view line, size_t& at) {
    if (at >= line.size() || line[at] != '"') {
        return std::nullopt;
    }
    std::string text;
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == '"') {
            ++at;
            return text;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++at == line.size()) {
            return std::nullopt;
        }
        if (line[at] >= '0' && line[at] <= '7') {
            int value = 0;
            for (int digits = 0;
                 digits < 3 && at < line.size() && line[at] >= '0' && line[at] <= '7';
                 ++digits, ++at) {
                value = value * 8 + (line[at] - '0');
            }
            --at;
            text += static_cast<char>(value);
        } else {
            text += escaped(line[at]);
        }
    }
    return std::nullopt;
}

std::optional<ArchiveEntry> parseLine(std::string_view line) {
    // The mode column is ten letters, e.g. "-rw-r--r--"; tar's own messages begin otherwise.
    if (line.size() < 11 || line[10] != ' ' ||
        line.substr(1, 9).find_first_not_of("rwxsStT-") != std::string_view::npos) {
        return std::nullopt;
    }
    ArchiveEntry entry;
    entry.type = line[0];
    // Owner, size and date hold no quote, so the name starts at the first one.
    size_t at = line.find('"');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    auto name = quoted(line, at);
    if (!name) {
        return std::nullopt;
    }
    entry.name = std::move(*name);
    std::string_view rest = line.substr(at);
    if (entry.type == 'l' || entry.type == 'h') {
        std::string_view arrow = entry.type == 'l' ? " -> " : " link to ";
        if (!rest.starts_with(arrow)) {
            return std::nullopt;
        }
        at += arrow.size();
        auto target = quoted(line, at);
        if (!target) {
            return std::nullopt;
        }
        entry.linkTarget = std::move(*target);
    }
    if (at != line.size()) {
        return std::nullopt;
    }
    return entry;
}

// The path, made lexically normal, stays below the folder it is relative to.
bool staysInside(const std::filesystem::path& relative) {
    if (relative.empty() || relative.is_absolute()) {
        return false;
    }
    auto normal = relative.lexically_normal();
    return normal.empty() || *normal.begin() != "..";
}

bool hasDotDot(const std::filesystem::path& path) {
    for (const auto& part : path) {
        if (part == "..") {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::vector<ArchiveEntry>> parseTarListing(std::string_view listing) {
    std::vector<ArchiveEntry> entries;
    while (!listing.empty()) {
        size_t end = listing.find('\n');
        std::string_view line = listing.substr(0, end);
        listing = end == std::string_view::npos ? std::string_view() : listing.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        auto entry = parseLine(line);
        if (!entry) {
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

bool archiveIsSafe(const std::vector<ArchiveEntry>& entries) {
    for (const auto& entry : entries) {
        std::filesystem::path name(entry.name);
        if (entry.name.empty() || name.is_absolute() || hasDotDot(name)) {
            return false;
        }
        if (entry.type == 'l') {
            std::filesystem::path target(entry.linkTarget);
            if (target.is_absolute() || !staysInside(name.parent_path() / target)) {
                return false;
            }
        } else if (entry.type != '-' && entry.type != 'd') {
            return false;
        }
    }
    return true;
}

}  // namespace vantrel
