#pragma once

#include <filesystem>
#include <functional>

namespace vantrel {

// Every file-system location a run uses, worked out once when it starts and handed down: the
// resources come from the bundle, the per-user folders from the XDG base directories as the run's
// environment named them.
class Paths {
  public:
    // An environment variable's value, or null when it is unset.
    using Variable = std::function<const char*(const char*)>;

    // HOME, XDG_DATA_HOME, XDG_STATE_HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR as `variable`
    // gives them; a variable counts only when it holds an absolute path.
    static Paths from(const Variable& variable, std::filesystem::path resources);
    // This process's environment and running bundle.
    static Paths ofThisProcess();

    // The per-user data folder: XDG_DATA_HOME, or its default under HOME. The state and
    // configuration folders show only through the paths below.
    const std::filesystem::path& applicationSupport() const { return dataHome_; }
    // $XDG_RUNTIME_DIR, else /tmp/vantrel-agent-UID: where the session's reopen socket lives.
    const std::filesystem::path& runtime() const { return runtime_; }

    std::filesystem::path python() const { return resources_ / "python/bin/python3"; }
    std::filesystem::path pythonHome() const { return resources_ / "python"; }
    std::filesystem::path pythonPath() const { return resources_ / "lib"; }
    std::filesystem::path icons() const { return resources_ / "icons"; }
    std::filesystem::path support() const { return dataHome_ / "Vantrel"; }
    std::filesystem::path state() const { return support() / "agent.json"; }
    std::filesystem::path spool() const { return support() / "spool.db"; }
    std::filesystem::path pidFile() const { return support() / "agent.pid"; }
    std::filesystem::path logDirectory() const { return stateHome_ / "Logs/Vantrel"; }
    std::filesystem::path log() const { return logDirectory() / "agent.log"; }
    std::filesystem::path autostartEntry() const {
        return configHome_ / "autostart/vantrel-agent.desktop";
    }
    std::filesystem::path reopenSocket() const { return runtime_ / "vantrel-agent.sock"; }

    // Creates support, then logDirectory. Throws std::system_error at the first failure; its
    // code's message is the reason to show.
    void createDirectories() const;

  private:
    std::filesystem::path resources_;
    std::filesystem::path dataHome_;
    std::filesystem::path stateHome_;
    std::filesystem::path configHome_;
    std::filesystem::path runtime_;
};

}  // namespace vantrel
