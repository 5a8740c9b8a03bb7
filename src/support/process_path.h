#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vantrel {

// The full path of a running process's executable, as the system reports it.
std::optional<std::filesystem::path> executablePathOf(pid_t pid);

// When the process started, in clock ticks after boot (the 22nd field of /proc/PID/stat): with
// the pid and the boot it names one process, never a later one that reuses the number.
std::optional<std::uint64_t> startTimeOf(pid_t pid);

// This boot's identifier, or empty when the system does not say.
std::string currentBootId();

}  // namespace vantrel
