#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Which process the agent is: its pid, when it started and in which boot. A process that differs
// in any of them is another program that happens to have the number now.
struct AgentIdentity {
    pid_t pid = 0;
    std::uint64_t startTime = 0;
    std::string bootId;

    bool operator==(const AgentIdentity&) const = default;

    // The running process `pid` as it is now; nothing when it is gone.
    static std::optional<AgentIdentity> of(pid_t pid);
};

// A process id worth probing: a trimmed, strict signed 32-bit decimal number greater than 1.
std::optional<pid_t> parsePid(std::string_view text);

// "PID START BOOT" with blank space around and between: the pid as above, the start time in
// decimal digits and a boot identifier. Anything else, an older file's bare pid included, names
// no process this run can be sure of.
std::optional<AgentIdentity> parsePidFile(std::string_view text);

// Nothing when the file is missing, is not a small regular file, or holds no such record.
std::optional<AgentIdentity> readPidFile(const std::filesystem::path& path);

// One line, replacing the file atomically; false on failure.
bool writePidFile(const std::filesystem::path& path, const AgentIdentity& agent);

}  // namespace vantrel
