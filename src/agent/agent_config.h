#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/build.h"
#include "support/paths.h"

namespace vantrel {

// Everything the supervisor needs to know about where the agent and its files are.
struct AgentConfig {
    std::filesystem::path python;
    std::filesystem::path pythonHome;
    std::filesystem::path pythonPath;
    std::filesystem::path state;
    std::filesystem::path spool;
    std::filesystem::path pidFile;
    std::filesystem::path log;
    std::optional<std::string> apiBase;
    // Seconds between SIGTERM and SIGKILL when the application ends its agent.
    double grace = 5;
    // The same for an agent that an earlier run left behind.
    double orphanGrace = 2;
    // The most one read of the agent's output takes.
    size_t readSize = 256 * 1024;

    // The bundle's interpreter and the user's folders, as the run's paths and build flavour say.
    static AgentConfig of(const Paths& paths, const Build& build);
};

inline const std::vector<std::string> kAgentArguments{"-m", "vantrel_agent", "run"};

// The agent's environment: the given one with the agent's variables set over it.
std::vector<std::string> agentEnvironment(const AgentConfig& config,
                                          std::vector<std::string> inherited);

}  // namespace vantrel
