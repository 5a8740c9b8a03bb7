#include "update/release_tools_archive.h"

#include <deque>
#include <map>
#include <set>

namespace vantrel {
namespace {

using Parts = std::vector<std::string>;
using Kind = ArchiveEntry::Kind;

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

// Follows a link's target from the folder `at` holds it in, through the archive's other links as
// the kernel would once all are in place; false as soon as it would leave the folder.
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

std::optional<Parts> pathInside(std::string_view name, std::string_view top) {
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
    if (parts.empty() || parts.front() != top) {
        return std::nullopt;
    }
    parts.erase(parts.begin());
    return parts;
}

bool archiveIsSafe(const std::vector<ArchiveEntry>& entries, std::string_view top,
                   const ArchiveLimits& limits) {
    if (entries.size() > limits.entries) {
        return false;
    }
    std::uint64_t bytes = 0;
    std::vector<Parts> paths;
    std::set<std::string> seen;
    std::map<std::string, std::string> links;
    for (const auto& entry : entries) {
        auto path = pathInside(entry.name, top);
        bool kindAllowed =
            entry.kind == Kind::file || entry.kind == Kind::folder || entry.kind == Kind::symlink;
        if (!path || !kindAllowed || (path->empty() && entry.kind != Kind::folder) ||
            !seen.insert(joined(*path)).second) {
            return false;
        }
        if (entry.kind == Kind::file && (bytes += entry.size) > limits.bytes) {
            return false;
        }
        if (entry.kind == Kind::symlink) {
            links[joined(*path)] = entry.linkTarget;
        }
        paths.push_back(std::move(*path));
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (passesThroughLink(paths[i], links)) {
            return false;
        }
        if (entries[i].kind == Kind::symlink) {
            Parts folder(paths[i].begin(), paths[i].end() - 1);
            if (!resolvesInside(std::move(folder), entries[i].linkTarget, links)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace vantrel
