#pragma once

#include <filesystem>
#include <optional>

#include "support/unique_fd.h"

namespace vantrel {

// One running instance per user: an exclusive lock on a file in the user's runtime folder. The
// system drops the lock when its holder dies, so a killed instance never blocks the next start.
class InstanceLock {
  public:
    // Nothing when another instance holds the lock.
    static std::optional<InstanceLock> acquire();

    // $XDG_RUNTIME_DIR, or a private folder under /tmp when it is unset.
    static std::filesystem::path runtimeDirectory();

  private:
    explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;
};

}  // namespace vantrel
