#pragma once

#include <filesystem>

namespace vantrel {

// Ends an agent left running by an earlier run: the process named by the pid file, only when its
// executable is the agent's interpreter. SIGTERM, up to 20 probes 0.1 s apart, then SIGKILL.
// Blocks its thread for at most about 2 s; every failure ends it silently.
// Whether a process's executable (as the system reports it) is `interpreter`, or the same file of
// an earlier copy of this install that an update has parked beside it (".<bundle>-…/…"), also
// once that copy is deleted.
bool isInstallInterpreter(const std::filesystem::path& executable,
                          const std::filesystem::path& interpreter);

void reapOrphan(const std::filesystem::path& pidFile, const std::filesystem::path& interpreter);

}  // namespace vantrel
