#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include "agent/pid_file.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// Bounds on waiting for real processes: only a hang ends there; nothing is timed against them.
constexpr double kGuard = 120;
inline const std::string kExecutable = std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent";

// The real bundle's executable in a sandboxed home; its agent (the reference agent) listens on a
// port of its own so that tests can run side by side.
class BundleAppTest : public ::testing::Test {
  protected:
    BundleAppTest() { setVariable(env, "VANTREL_SIM_INTERVAL", "0.2"); }
    std::unique_ptr<RunningApp> launch(std::vector<std::string> arguments) {
        return std::make_unique<RunningApp>(kExecutable, std::move(arguments), env);
    }
    std::filesystem::path pidFile() const { return home / "share/Vantrel/agent.pid"; }
    std::filesystem::path logFile() const { return home / "state/Logs/Vantrel/agent.log"; }
    std::string agentLog() const { return readFile(logFile()); }
    std::optional<pid_t> agentPid() const {
        auto recorded = readPidFile(pidFile());
        return recorded ? std::optional(recorded->pid) : std::nullopt;
    }
    // The agent's pid once it has been launched, which happens after the signals are in hand.
    pid_t waitForAgent() const {
        eventually([&] { return agentPid().has_value(); }, kGuard);
        return agentPid().value_or(0);
    }

    AdoptOrphans adopt;  // the agents of ended applications come here, to be awaited
    TempDir home;
    std::vector<std::string> env = sandboxedEnvironment(home.path());
};

}  // namespace vantrel::testing
