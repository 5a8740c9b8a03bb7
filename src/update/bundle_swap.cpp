#include "update/bundle_swap.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "support/atomic_file.h"
#include "support/bundle.h"
#include "support/file_io.h"
#include "support/run_tool.h"
#include "update/scratch_folder.h"
#include "update/version.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Every file and folder of the tree; a link is written with the folder that holds it.
bool syncTree(const fs::path& root) {
    std::error_code error;
    if (!syncToDisk(root)) {
        return false;
    }
    for (fs::recursive_directory_iterator it(root, error), end; it != end; it.increment(error)) {
        if (error || (!it->is_symlink(error) && !syncToDisk(it->path()))) {
            return false;
        }
    }
    return !error;
}

bool writeDurably(const fs::path& path, const std::string& text) {
    return writeFileAtomically(path, text, Durability::onDisk);
}

bool isThere(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

void removeDurably(const fs::path& path) {
    if (!isThere(path)) {
        return;
    }
    removeTree(path);
    syncToDisk(path.parent_path());
}

std::string versionOf(const fs::path& bundle) {
    return bundle::versionIn(bundle::infoAt(bundle));
}

std::optional<std::string> readSmallFile(const fs::path& path) {
    return readWholeFile(path, 256);
}

// A staged executable that cannot start here (a library missing, another architecture) or is
// another version is caught before anything live is touched.
bool answersItsVersion(const fs::path& bundle, const std::string& version) {
    auto answer =
        runTool("/usr/bin/timeout",
                {"--signal=KILL", "60", (bundle / "bin/VantrelAgent").string(), "--version"});
    return answer.status == 0 && answer.output == "Vantrel Agent " + version + "\n";
}

int exchange(const fs::path& one, const fs::path& other) {
    if (::renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) != 0) {
        return errno;
    }
    syncToDisk(other.parent_path());
    return 0;
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

fs::path StagedUpdate::trial() const {
    auto path = staged();
    path += ".trial";
    return path;
}

StageOutcome stageUpdate(const StagedUpdate& update, const fs::path& newApp,
                         const std::string& version,
                         const std::function<bool(const fs::path&)>& verify) {
    removeDurably(update.marker());
    removeDurably(update.trial());
    auto staged = update.staged();
    std::error_code error;
    bool copied = isThere(newApp) && fs::equivalent(newApp, staged, error);
    if (!copied) {
        removeDurably(staged);
        copied = runTool("/bin/cp", {"-a", "--", newApp.string(), staged.string()}).status == 0;
    }
    if (!copied || !syncTree(staged) || !syncToDisk(staged.parent_path()) || !verify(staged) ||
        versionOf(staged) != version) {
        removeDurably(staged);
        return StageOutcome::notCopied;
    }
    if (!answersItsVersion(staged, version)) {
        removeDurably(staged);
        return StageOutcome::doesNotStart;
    }
    if (!writeDurably(update.marker(), version)) {
        removeDurably(staged);
        return StageOutcome::notCopied;
    }
    return StageOutcome::staged;
}

int exchangeStaged(const StagedUpdate& update) {
    int error = exchange(update.staged(), update.live);
    if (error != 0) {
        clearLeftovers(update);
    }
    return error;
}

SwapStep nextSwapStep(const SwapState& state) {
    if (!state.marked) {
        return state.staged || state.tried ? SwapStep::clearLeftovers : SwapStep::done;
    }
    const auto& marked = *state.marked;
    if (state.live == marked && state.staged && *state.staged != marked) {
        // Exchanged: the previous copy waits at the staged name.
        if (state.runsStaged) {
            return state.tried ? SwapStep::rollBack : SwapStep::tryNew;
        }
        return state.tried && !state.onTrial ? SwapStep::rollBack : SwapStep::keepNew;
    }
    if (state.staged == marked && state.live != marked && !state.refused && !state.runsStaged) {
        return SwapStep::exchange;
    }
    return SwapStep::clearLeftovers;
}

SwapState readSwapState(const StagedUpdate& update, const fs::path& self, bool onTrial,
                        const std::function<bool(const std::string&)>& refused) {
    SwapState state;
    state.marked = readSmallFile(update.marker());
    state.live = versionOf(update.live);
    if (isThere(update.staged())) {
        state.staged = versionOf(update.staged());
    }
    state.tried = isThere(update.trial());
    state.refused = state.marked && refused(*state.marked);
    std::error_code error;
    state.runsStaged = fs::equivalent(self, update.staged(), error);
    state.onTrial = onTrial;
    return state;
}

void clearLeftovers(const StagedUpdate& update) {
    // The marker goes first: once it is gone, what is left beside live is only an old copy.
    removeDurably(update.marker());
    removeDurably(update.trial());
    removeDurably(update.staged());
}

bool markTried(const StagedUpdate& update) {
    auto marked = readSmallFile(update.marker());
    return marked && writeDurably(update.trial(), *marked);
}

bool rollBack(const StagedUpdate& update, const fs::path& refusedFile) {
    // Recorded first: once exchanged back, the marked copy would read as one still to try.
    if (auto marked = readSmallFile(update.marker())) {
        recordRefusedRelease(refusedFile, *marked);
    }
    if (exchange(update.staged(), update.live) != 0) {
        return false;
    }
    clearLeftovers(update);
    return true;
}

bool RefusedRelease::covers(const std::string& version) const {
    std::lock_guard hold(mutex_);
    for (const auto& refused : {thisRun_, readSmallFile(file_)}) {
        if (refused && !isNewerVersion(version, *refused)) {
            return true;
        }
    }
    return false;
}

void RefusedRelease::refuseForThisRun(const std::string& version) {
    std::lock_guard hold(mutex_);
    thisRun_ = version;
}

bool recordRefusedRelease(const fs::path& file, const std::string& version) {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    return writeDurably(file, version);
}

}  // namespace vantrel
