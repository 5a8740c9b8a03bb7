#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantrel::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX";
        path_ = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;  // a test may have left its folder unwritable
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// HOME, the XDG folders and a private runtime folder inside a temporary folder while it lives.
class SandboxedHome {
  public:
    SandboxedHome() {
        ::mkdir((dir_ / "runtime").c_str(), 0700);
        for (auto [name, folder] : {std::pair{"HOME", ""},
                                    {"XDG_DATA_HOME", ".local/share"},
                                    {"XDG_STATE_HOME", ".local/state"},
                                    {"XDG_CONFIG_HOME", ".config"},
                                    {"XDG_RUNTIME_DIR", "runtime"}}) {
            const char* value = ::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::setenv(name, (*folder ? dir_ / folder : dir_.path()).c_str(), 1);
        }
    }
    ~SandboxedHome() {
        for (const auto& [name, value] : saved_) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }

    const std::filesystem::path& home() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline void writeFile(const std::filesystem::path& path, std::string_view bytes,
                      bool executable = false) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    if (executable) {
        std::filesystem::permissions(path, std::filesystem::perms{0744});
    }
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Polls a condition (real time) until it holds or the timeout passes; for waiting on real children.
inline bool eventually(const std::function<bool()>& condition, double timeoutSeconds = 10) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    bool held;
    while (!(held = condition()) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return held;
}

}  // namespace vantrel::testing
