#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/instance_lock.h"
#include "support/paths.h"

namespace vantrel {

// The steps both runs take before they show anything: the user's folders, the one-instance lock,
// then the private runtime folder that holds the reopen socket. What stands in the way comes back
// as a value that each run shows in its own way.
struct RunStart {
    enum class Refused { nothing, folders, anotherInstance, lock };

    std::optional<InstanceLock> lock;
    Refused refused = Refused::nothing;
    // For `folders`: "It could not create its folder in …: <reason>"; for `lock`: "cannot use …".
    std::string reason;
    // The reopen socket, for a run that holds the lock or one that found another; empty when the
    // runtime folder is not this user's alone, where another user could answer in its place.
    std::filesystem::path socket;

    static RunStart begin(const Paths& paths, const std::filesystem::path& bundle);
};

}  // namespace vantrel
