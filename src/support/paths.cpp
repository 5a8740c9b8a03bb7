#include "support/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "support/bundle.h"

namespace vantrel {
namespace {

const char* absolute(const Paths::Variable& variable, const char* name) {
    const char* value = variable(name);
    return value && value[0] == '/' ? value : nullptr;
}

// Only an absolute home counts: a relative one would put the folders wherever the process runs.
std::filesystem::path home(const Paths::Variable& variable) {
    if (const char* value = absolute(variable, "HOME")) {
        return value;
    }
    if (const passwd* entry = getpwuid(getuid());
        entry && entry->pw_dir && entry->pw_dir[0] == '/') {
        return entry->pw_dir;
    }
    return "/";
}

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path) {
    auto text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// An XDG variable counts only when it holds an absolute path; otherwise its default applies.
std::filesystem::path xdgFolder(const Paths::Variable& variable, const char* name,
                                const char* fallback) {
    const char* value = absolute(variable, name);
    return withoutTrailingSeparator(value ? std::filesystem::path(value)
                                          : home(variable) / fallback);
}

}  // namespace

Paths Paths::from(const Variable& variable, std::filesystem::path resources) {
    Paths paths;
    paths.resources_ = std::move(resources);
    paths.dataHome_ = xdgFolder(variable, "XDG_DATA_HOME", ".local/share");
    paths.stateHome_ = xdgFolder(variable, "XDG_STATE_HOME", ".local/state");
    paths.configHome_ = xdgFolder(variable, "XDG_CONFIG_HOME", ".config");
    const char* runtime = absolute(variable, "XDG_RUNTIME_DIR");
    paths.runtime_ = runtime ? runtime : "/tmp/vantrel-agent-" + std::to_string(::getuid());
    return paths;
}

Paths Paths::ofThisProcess() {
    return from(std::getenv, bundle::resources());
}

void Paths::createDirectories() const {
    for (const auto& folder : {support(), logDirectory()}) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) {
            throw std::system_error(error, folder.string());
        }
    }
}

}  // namespace vantrel
