#include "update/bundle_swap.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "agent/agent_config.h"
#include "agent/orphan_reaper.h"
#include "support/bundle.h"
#include "support/file_io.h"
#include "support/instance_lock.h"
#include "support/paths.h"
#include "support/unique_fd.h"
#include "update/run_tool.h"
#include "update/scratch_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

bool syncPath(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

// Every file and folder of the tree; a link is written with the folder that holds it.
bool syncTree(const fs::path& root) {
    std::error_code error;
    if (!syncPath(root)) {
        return false;
    }
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (error || (!it->is_symlink(error) && !syncPath(it->path()))) {
            return false;
        }
    }
    return !error;
}

bool writeDurably(const fs::path& path, const std::string& text) {
    auto partial = path;
    partial += ".partial";
    UniqueFd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool written = fd.valid() && writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    if (!written || ::rename(partial.c_str(), path.c_str()) != 0) {
        ::unlink(partial.c_str());
        return false;
    }
    return syncPath(path.parent_path());
}

void removeDurably(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) {
        return;
    }
    removeTree(path);
    syncPath(path.parent_path());
}

std::string versionOf(const fs::path& bundle) {
    return bundle::versionIn(bundle::infoAt(bundle));
}

// The new copy starts with what a fresh process has: nothing blocked, SIGPIPE not ignored.
void restoreSignals() {
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace

fs::path StagedUpdate::staged() const {
    std::string name = ".";
    name += live.filename().string();
    return live.parent_path() / (name + "-incoming");
}

fs::path StagedUpdate::marker() const {
    auto path = staged();
    path += ".version";
    return path;
}

bool stageUpdate(const StagedUpdate& update, const fs::path& newApp, const std::string& version,
                 const std::function<bool(const fs::path&)>& verify) {
    removeDurably(update.marker());
    removeDurably(update.staged());
    auto staged = update.staged();
    auto copied = runTool("/bin/cp", {"-a", "--", newApp.string(), staged.string()});
    if (copied.status != 0 || !syncTree(staged) || !syncPath(staged.parent_path()) ||
        !verify(staged) || versionOf(staged) != version ||
        !writeDurably(update.marker(), version)) {
        removeDurably(staged);
        return false;
    }
    return true;
}

void endAgent(const AgentToEnd& agent) {
    if (auto pid = reapOrphan(agent.pidFile, agent.interpreter, agent.grace)) {
        // The agent of this very process is reaped here, so no zombie passes into the new copy.
        ::waitpid(*pid, nullptr, WNOHANG);
    }
}

SwapOutcome completeStagedUpdate(const StagedUpdate& update, const AgentToEnd& agent) {
    auto marked = readWholeFile(update.marker());
    bool swapped = false;
    if (marked && versionOf(update.staged()) == *marked && versionOf(update.live) != *marked) {
        endAgent(agent);
        swapped = ::renameat2(AT_FDCWD, update.staged().c_str(), AT_FDCWD, update.live.c_str(),
                              RENAME_EXCHANGE) == 0;
        syncPath(update.live.parent_path());
    }
    // The marker goes first: once it is gone, what is left beside live is only an old copy.
    removeDurably(update.marker());
    removeDurably(update.staged());
    return swapped ? SwapOutcome::swapped : SwapOutcome::nothing;
}

void resumeStagedUpdate(char** argv) {
    // Worked out before the swap: afterwards this process's own executable lies elsewhere.
    StagedUpdate update{bundle::root()};
    std::error_code error;
    if (!fs::exists(fs::symlink_status(update.marker(), error)) &&
        !fs::exists(fs::symlink_status(update.staged(), error))) {
        return;  // the usual start and end: nothing to look at, no lock to take
    }
    auto attempt = InstanceLock::acquire(Paths::support(), update.live);
    if (!attempt.lock) {
        return;
    }
    auto config = AgentConfig::fromBundle();
    if (completeStagedUpdate(
            update, {.pidFile = config.pidFile, .interpreter = config.python, .grace = 2}) !=
        SwapOutcome::swapped) {
        return;
    }
    auto executable = update.live / "bin" / "VantrelAgent";
    restoreSignals();
    ::execv(executable.c_str(), argv);  // the lock, opened close-on-exec, is released here
}

}  // namespace vantrel
