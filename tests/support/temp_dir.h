#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Sets HOME and the XDG folders to a temporary sandbox for the life of the object.
class SandboxedHome {
  public:
    SandboxedHome();
    ~SandboxedHome();

    const std::filesystem::path& home() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes, bool executable = false);
std::string readFile(const std::filesystem::path& path);

// Polls a condition (real time) until it holds or the timeout passes; for waiting on real children.
bool eventually(const std::function<bool()>& condition, double timeoutSeconds = 10);

}  // namespace vantrel::testing
