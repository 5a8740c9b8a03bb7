#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace vantrel {

// Whether a process's executable (as the system reports it) is `interpreter`, or the same file of
// an earlier copy of this install that an update or an install has parked beside it
// (".<bundle>-…/…" or ".<bundle>-…/<bundle>/…"), also once that copy is deleted.
bool isInstallInterpreter(const std::filesystem::path& executable,
                          const std::filesystem::path& interpreter);

// Ends an agent left running: the process the pid file names (pid, start time and boot), only
// when its executable is the agent's interpreter (see above). SIGTERM, SIGKILL after
// `graceSeconds`, and returns once it is gone, with its process id, having removed the pid file;
// signals go through a process descriptor. Every failure ends it silently.
std::optional<pid_t> reapOrphan(const std::filesystem::path& pidFile,
                                const std::filesystem::path& interpreter, double graceSeconds = 2);

}  // namespace vantrel
