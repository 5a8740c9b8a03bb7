#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vantrel {

// An update is staged beside the live bundle, tried, and exchanged with it in one atomic rename
// while the running copy still runs, so that the install path holds a complete, verified bundle at
// every instant, also across a power loss. The exchange leaves the previous copy at the staged
// name until the new version has started and taken the instance lock. Small files beside them,
// each written whole and durably, say how far an update got: the marker names the new version
// once the staged copy is complete; the trial file says the new version has been started once.
struct StagedUpdate {
    std::filesystem::path live;

    std::filesystem::path staged() const;
    std::filesystem::path marker() const;
    std::filesystem::path trial() const;
};

enum class StageOutcome { staged, notCopied, doesNotStart };

// Copies the verified bundle `newApp` to the staged folder (a bundle already there is used where
// it is), writes all of it to disk, checks the copy with `verify` and its version, runs its
// executable with --version, which must answer "Vantrel Agent <version>", and only then writes the
// marker naming `version`. On any failure nothing is left staged.
StageOutcome stageUpdate(const StagedUpdate& update, const std::filesystem::path& newApp,
                         const std::string& version,
                         const std::function<bool(const std::filesystem::path&)>& verify);

// Exchanges the marked staged copy with live; 0, or the system's error number, in which case the
// staged copy and its marker are gone (some file systems and mount points refuse the exchange).
int exchangeStaged(const StagedUpdate& update);

// What lies beside live, read under the instance lock, and where this process stands.
struct SwapState {
    std::optional<std::string> marked;  // the marker's version
    std::string live;                   // the version in each bundle; "0" for none or a part
    std::optional<std::string> staged;  // nothing: no staged folder
    bool tried = false;                 // the trial file is there
    bool refused = false;               // the marked version is refused here
    bool runsStaged = false;            // this process runs the executable in the staged folder
    bool onTrial = false;               // this process is the new version started for its trial
};

enum class SwapStep {
    done,            // nothing beside live
    clearLeftovers,  // remove what an earlier update left; live stays
    exchange,        // a staged copy is complete: put it in place
    tryNew,          // the previous copy, now parked, starts the new version for its trial
    keepNew,         // the new version has started and holds the lock: the previous copy goes
    rollBack,        // the new version's trial ended before that: the previous copy comes back
};

SwapStep nextSwapStep(const SwapState& state);

// `self` is the bundle of the running executable; `refused` tells a version refused here.
SwapState readSwapState(const StagedUpdate& update, const std::filesystem::path& self, bool onTrial,
                        const std::function<bool(const std::string&)>& refused);

// The steps' effects on disk, each durable before it returns.
void clearLeftovers(const StagedUpdate& update);
bool markTried(const StagedUpdate& update);
// The marked version is recorded as refused in `refusedFile` before the exchange back; false when
// the previous copy could not be put back.
bool rollBack(const StagedUpdate& update, const std::filesystem::path& refusedFile);

// A release that could not be put in place or did not start here is not offered again until a
// newer one appears: for the rest of the run, or, once rolled back, as long as `file` says so.
class RefusedRelease {
  public:
    explicit RefusedRelease(std::filesystem::path file) : file_(std::move(file)) {}

    const std::filesystem::path& file() const { return file_; }
    bool covers(const std::string& version) const;
    void refuseForThisRun(const std::string& version);

  private:
    const std::filesystem::path file_;
    mutable std::mutex mutex_;  // checks run one at a time, but each on a thread of its own
    std::optional<std::string> thisRun_;
};

// The file in the data folder that names a release rolled back here.
inline std::filesystem::path refusedReleaseFile(const std::filesystem::path& supportFolder) {
    return supportFolder / "refused-update";
}

// Writes `version` whole and durably to `file`.
bool recordRefusedRelease(const std::filesystem::path& file, const std::string& version);

}  // namespace vantrel
