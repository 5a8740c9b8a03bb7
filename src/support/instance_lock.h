#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/unique_fd.h"

namespace vantrel {

// One running instance per user: an exclusive lock on a file in the user's runtime folder. The
// system drops the lock when its holder dies, so a killed instance never blocks the next start.
class InstanceLock {
  public:
    struct Attempt;

    // The lock, or why not: another instance holds it (no problem), or the runtime folder cannot
    // be used (the problem, in words).
    static Attempt acquire();

    // $XDG_RUNTIME_DIR when it is absolute, else /tmp/vantrel-agent-UID. Computed only; `acquire`
    // checks and prepares it.
    static std::filesystem::path runtimeDirectory();

  private:
    explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;
};

struct InstanceLock::Attempt {
    std::optional<InstanceLock> lock;
    std::string problem;  // "cannot use the runtime folder …"; empty when another instance runs
};

// Makes `folder` a folder that only this user can reach (mode 0700), creating it if needed. An
// empty text when it is; otherwise the reason, and the folder is left as found: one that another
// user owns, or a link or file in its place, is refused rather than trusted.
std::string preparePrivateFolder(const std::filesystem::path& folder);

}  // namespace vantrel
