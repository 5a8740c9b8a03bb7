#include "agent/agent_config.h"

#include "support/build.h"
#include "support/child_process.h"
#include "support/paths.h"

namespace vantrel {

AgentConfig AgentConfig::of(const Paths& paths, const Build& build) {
    return AgentConfig{
        .python = paths.python(),
        .pythonHome = paths.pythonHome(),
        .pythonPath = paths.pythonPath(),
        .state = paths.state(),
        .spool = paths.spool(),
        .pidFile = paths.pidFile(),
        .log = paths.log(),
        .apiBase = build.apiBase,
    };
}

std::vector<std::string> agentEnvironment(const AgentConfig& config,
                                          std::vector<std::string> inherited) {
    setVariable(inherited, "PYTHONHOME", config.pythonHome.string());
    setVariable(inherited, "PYTHONPATH", config.pythonPath.string());
    setVariable(inherited, "PYTHONDONTWRITEBYTECODE", "1");
    setVariable(inherited, "PYTHONUNBUFFERED", "1");
    setVariable(inherited, "VANTREL_AGENT_TYPE", "macos");
    if (config.apiBase) {
        setVariable(inherited, "VANTREL_API", *config.apiBase);
    }
    setVariable(inherited, "AGENT_STATE", config.state.string());
    setVariable(inherited, "AGENT_SPOOL", config.spool.string());
    return inherited;
}

}  // namespace vantrel
