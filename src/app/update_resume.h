#pragma once

#include <filesystem>
#include <functional>

namespace vantrel {

// What the hand-over to an installed update needs from the process around it.
struct UpdateResume {
    std::filesystem::path live;         // the bundle this process started from
    std::filesystem::path dataFolder;   // holds the instance lock and the refused release
    bool underServiceManager = false;   // the unit's restart runs the previous copy
    std::function<void()> endOldAgent;  // ends the agent of the copy being replaced
};

// The new version's word that it started and holds the instance lock; its absence at the end of
// the pipe makes the guardian roll back.
inline constexpr const char* kTrialVariable = "VANTREL_UPDATE_TRIAL";

// At start and at the end of a run: under the instance lock, settles what an update left beside
// live and runs the version that should run in this process (same pid, same arguments, so a
// service manager keeps following it): the new one for its trial, watched by a guardian process
// that puts the previous copy back if the new one ends before it holds the lock, or the previous
// one after a roll-back. Returns when this process goes on as it is.
void resumeStagedUpdate(const UpdateResume& resume, char** argv);

// Ends the agent named in the pid file when it runs this install's interpreter (or an earlier
// copy's): SIGTERM, SIGKILL after the grace, and returns once it is gone.
struct AgentToEnd {
    std::filesystem::path pidFile;
    std::filesystem::path interpreter;
    double grace = 2;  // seconds between SIGTERM and SIGKILL
};
void endAgent(const AgentToEnd& agent);

}  // namespace vantrel
