#pragma once

#include <filesystem>

namespace vantrel {

// Ends an agent left running by an earlier run: the process named by the pid file, only when its
// executable is the agent's interpreter. SIGTERM, up to 20 probes 0.1 s apart, then SIGKILL.
// Blocks its thread for at most about 2 s; every failure ends it silently.
void reapOrphan(const std::filesystem::path& pidFile, const std::filesystem::path& interpreter);

}  // namespace vantrel
