#pragma once

#include "support/workspace.h"

namespace vantrel {

// The desktop's workspace: addresses open with the user's default application; files are shown
// selected by the file manager over D-Bus, or by opening their folder when no file manager answers.
class QtWorkspace final : public Workspace {
  public:
    void openUrl(const std::string& url) override;
    void revealFile(const std::filesystem::path& file) override;
};

}  // namespace vantrel
