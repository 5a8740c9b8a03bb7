#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace vantrel {

// An update is staged beside the live bundle and then exchanged with it in one atomic rename, so
// that the install path holds a complete, verified bundle at every instant, also across a power
// loss. A marker beside them, written last and naming the new version, says a staged copy is
// complete; where that version is found tells how far a swap got.
struct StagedUpdate {
    std::filesystem::path live;

    std::filesystem::path staged() const;
    std::filesystem::path marker() const;
};

// Copies the verified bundle `newApp` to the staged folder, writes all of it to disk, checks the
// copy with `verify` and only then writes the marker naming `version`. False, with nothing
// staged, when any step fails.
bool stageUpdate(const StagedUpdate& update, const std::filesystem::path& newApp,
                 const std::string& version,
                 const std::function<bool(const std::filesystem::path&)>& verify);

// How the old copy's agent is ended before a swap.
struct AgentToEnd {
    std::filesystem::path pidFile;
    std::filesystem::path interpreter;
    double grace = 2;  // seconds between SIGTERM and SIGKILL
};

enum class SwapOutcome { nothing, swapped };

// Finishes what a staged update left: a complete staged copy is exchanged with live once the old
// copy's agent is gone; an exchange already done, a partial copy or an earlier update's
// leftovers are cleaned up. `swapped` when live now holds a copy this process did not start from.
SwapOutcome completeStagedUpdate(const StagedUpdate& update, const AgentToEnd& agent);

// Ends the agent named in the pid file when it runs this install's interpreter (or an earlier
// copy's): SIGTERM, SIGKILL after the grace, and returns once it is gone.
void endAgent(const AgentToEnd& agent);

// At start and at exit of the application: completes a staged update of the running bundle under
// the instance lock and then runs the new copy in this process (same pid, same arguments, so a
// service manager keeps following it). Returns when there was nothing to complete, another
// copy holds the lock, or the new copy could not be started.
void resumeStagedUpdate(char** argv);

}  // namespace vantrel
