#include "update/release_tools_archive.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <map>

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
            // No file name holds a NUL; one here would be judged whole but created cut short.
            if (text.find('\0') != std::string::npos) {
                return std::nullopt;
            }
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

// The size column follows the owner; a device's "major,minor" stands there instead.
bool readSize(std::string_view columns, std::uint64_t& size) {
    size_t owner = columns.find_first_not_of(' ');
    size_t gap = columns.find(' ', owner);
    size_t start = columns.find_first_not_of(' ', gap);
    if (start == std::string_view::npos) {
        return false;
    }
    auto end = std::min(columns.find(' ', start), columns.size());
    auto [next, error] = std::from_chars(columns.data() + start, columns.data() + end, size);
    return error == std::errc() && (next == columns.data() + end || *next == ',');
}

std::optional<ArchiveEntry> parseLine(std::string_view line) {
    // The mode column is ten letters, e.g. "-rw-r--r--"; tar's own messages begin otherwise.
    if (line.size() < 11 || line[10] != ' ' ||
        line.substr(1, 9).find_first_not_of("rwxsStT-") != std::string_view::npos) {
        return std::nullopt;
    }
    ArchiveEntry entry;
    entry.type = line[0];
    if (!readSize(line.substr(11), entry.size)) {
        return std::nullopt;
    }
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

using Parts = std::vector<std::string>;

std::deque<std::string> pieces(std::string_view path) {
    std::deque<std::string> parts;
    while (!path.empty()) {
        size_t end = path.find('/');
        parts.emplace_back(path.substr(0, end));
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    }
    return parts;
}

std::string joined(const Parts& parts) {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : "/") + part;
    }
    return text;
}

// The path tar creates for a member's name: empty and "." parts dropped (so "a/" makes "a");
// nothing for an absolute name or one that climbs with "..".
std::optional<Parts> createdPath(std::string_view name) {
    if (name.empty() || name.front() == '/') {
        return std::nullopt;
    }
    Parts parts;
    for (auto& part : pieces(name)) {
        if (part == "..") {
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
    }
    return parts;
}

// Follows a link's target from the folder `at` holds it in, through the archive's other links as
// the kernel would once all are in place; false as soon as it would leave the extraction folder.
bool resolvesInside(Parts at, std::string_view target,
                    const std::map<std::string, std::string>& links) {
    constexpr int kMostHops = 40;
    int hops = 0;
    std::deque<std::string> pending = pieces(target);
    if (target.empty() || target.front() == '/') {
        return false;
    }
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (at.empty()) {
                return false;
            }
            at.pop_back();
            continue;
        }
        at.push_back(std::move(part));
        auto link = links.find(joined(at));
        if (link == links.end()) {
            continue;
        }
        if (++hops > kMostHops || link->second.empty() || link->second.front() == '/') {
            return false;
        }
        at.pop_back();
        auto more = pieces(link->second);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return true;
}

bool passesThroughLink(const Parts& path, const std::map<std::string, std::string>& links) {
    Parts prefix;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        prefix.push_back(path[i]);
        if (links.contains(joined(prefix))) {
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

bool archiveIsSafe(const std::vector<ArchiveEntry>& entries, const ArchiveLimits& limits) {
    if (entries.size() > limits.entries) {
        return false;
    }
    std::uint64_t bytes = 0;
    std::vector<Parts> paths;
    std::map<std::string, std::string> links;
    for (const auto& entry : entries) {
        auto path = createdPath(entry.name);
        bool kindAllowed = entry.type == '-' || entry.type == 'd' || entry.type == 'l';
        if (!path || !kindAllowed || (path->empty() && entry.type != 'd')) {
            return false;
        }
        if (entry.type == '-' && (bytes += entry.size) > limits.bytes) {
            return false;
        }
        if (entry.type == 'l') {
            links[joined(*path)] = entry.linkTarget;
        }
        paths.push_back(std::move(*path));
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (passesThroughLink(paths[i], links)) {
            return false;
        }
        if (entries[i].type == 'l') {
            Parts folder(paths[i].begin(), paths[i].end() - 1);
            if (!resolvesInside(std::move(folder), entries[i].linkTarget, links)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace vantrel
