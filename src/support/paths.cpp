#include "support/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "support/bundle.h"

namespace vantrel {
namespace {

// Only an absolute home counts: a relative one would put the folders wherever the process runs.
std::filesystem::path home() {
    if (const char* value = std::getenv("HOME"); value && value[0] == '/') {
        return value;
    }
    if (const passwd* entry = getpwuid(getuid());
        entry && entry->pw_dir && entry->pw_dir[0] == '/') {
        return entry->pw_dir;
    }
    return "/";
}

// An XDG variable counts only when it holds an absolute path; otherwise its default applies.
std::filesystem::path xdgFolder(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') {
        return std::filesystem::path(value).lexically_normal();
    }
    return home() / fallback;
}

std::filesystem::path withoutTrailingSeparator(std::filesystem::path path) {
    auto text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::filesystem::path Paths::applicationSupport() {
    return withoutTrailingSeparator(xdgFolder("XDG_DATA_HOME", ".local/share"));
}

std::filesystem::path Paths::library() {
    return withoutTrailingSeparator(xdgFolder("XDG_STATE_HOME", ".local/state"));
}

std::filesystem::path Paths::configuration() {
    return withoutTrailingSeparator(xdgFolder("XDG_CONFIG_HOME", ".config"));
}

std::filesystem::path Paths::python() {
    return bundle::resources() / "python/bin/python3";
}
std::filesystem::path Paths::pythonHome() {
    return bundle::resources() / "python";
}
std::filesystem::path Paths::pythonPath() {
    return bundle::resources() / "lib";
}
std::filesystem::path Paths::support() {
    return applicationSupport() / "Vantrel";
}
std::filesystem::path Paths::state() {
    return support() / "agent.json";
}
std::filesystem::path Paths::spool() {
    return support() / "spool.db";
}
std::filesystem::path Paths::logDirectory() {
    return library() / "Logs/Vantrel";
}
std::filesystem::path Paths::log() {
    return logDirectory() / "agent.log";
}

void Paths::createDirectories() {
    for (const auto& folder : {support(), logDirectory()}) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) {
            throw std::system_error(error, folder.string());
        }
    }
}

}  // namespace vantrel
