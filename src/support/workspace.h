#pragma once

#include <filesystem>
#include <string>

namespace vantrel {

// What the application asks of the desktop: open an address with the user's default application,
// and show a file selected in the file manager.
class Workspace {
  public:
    virtual ~Workspace() = default;
    virtual void openUrl(const std::string& url) = 0;
    virtual void revealFile(const std::filesystem::path& file) = 0;
};

}  // namespace vantrel
