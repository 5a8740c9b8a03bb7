#include "support/temp_dir.h"

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace vantrel::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

SandboxedHome::SandboxedHome() {
    for (const char* name :
         {"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ::setenv("HOME", dir_.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_.path() / ".local/share").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (dir_.path() / ".local/state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_.path() / ".config").c_str(), 1);
    std::filesystem::create_directories(dir_.path() / "runtime");
    std::filesystem::permissions(dir_.path() / "runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (dir_.path() / "runtime").c_str(), 1);
}

SandboxedHome::~SandboxedHome() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

void writeFile(const std::filesystem::path& path, std::string_view bytes, bool executable) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    if (executable) {
        std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_read |
                                               std::filesystem::perms::others_read);
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool eventually(const std::function<bool()>& condition, double timeoutSeconds) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace vantrel::testing
