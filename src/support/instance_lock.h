#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/unique_fd.h"

namespace vantrel {

// One running instance per user and install, whatever the session: an exclusive lock on a file in
// the user's data folder, which holds the pid file and the agent's data, so starts from cron, su
// or a service beside a desktop all meet it; and a shared lock on the running bundle's folder,
// which an install takes exclusively before it replaces the bundle. The system drops both when
// their holder dies, so a killed instance never blocks the next start.
class InstanceLock {
  public:
    struct Attempt;

    static constexpr const char* kFileName = "vantrel-agent.lock";

    // The lock, or why not: another instance holds it (no problem), or the data folder cannot be
    // used (the problem, in words). The data folder is created when missing.
    static Attempt acquire(const std::filesystem::path& dataFolder,
                           const std::filesystem::path& bundle);

  private:
    InstanceLock(UniqueFd data, UniqueFd bundle)
        : data_(std::move(data)), bundle_(std::move(bundle)) {}

    UniqueFd data_;
    UniqueFd bundle_;
};

struct InstanceLock::Attempt {
    std::optional<InstanceLock> lock;
    std::string problem;  // "cannot use the data folder …"; empty when another instance runs
};

// Makes `folder` a folder that only this user can reach (mode 0700), creating it if needed. An
// empty text when it is; otherwise the reason, and the folder is left as found: one that another
// user owns or that others may reach, or a link or file in its place, is refused rather than
// trusted.
std::string preparePrivateFolder(const std::filesystem::path& folder);

}  // namespace vantrel
