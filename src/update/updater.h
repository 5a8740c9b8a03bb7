#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/bundle.h"
#include "support/task_queue.h"
#include "update/manifest_fetch.h"
#include "update/random_delay.h"
#include "update/secure_random.h"
#include "update/update_installer.h"
#include "update/update_result.h"

namespace vantrel {

// Decides when an update run happens and lets only one run at a time: a first check at a random
// moment within four hours, one every 24 hours, and those the user starts. Everything but the run
// itself happens on the main queue.
class Updater : public std::enable_shared_from_this<Updater> {
  public:
    using Completion = std::function<void(const UpdateResult&)>;

    // The built-in update server; named in the "could not reach" reason, never contacted in tests.
    static constexpr const char* updateHost = "updates.vantrel.energy";
    static constexpr double kCheckInterval = 86400;
    static constexpr double kDistFirstDelay = 3;

    // `worker` runs the blocking run; `server` is the base address of another update server
    // (the run's "VANTREL_DIST", counted when present, even empty), none for the built-in one;
    // `bundleRoot` is the running bundle, whose folder must be writable for an update; `random`
    // feeds the first check's delay.
    static std::shared_ptr<Updater> create(std::shared_ptr<TaskQueue> mainQueue,
                                           std::shared_ptr<TaskQueue> worker,
                                           std::shared_ptr<UpdateInstaller> installer,
                                           std::optional<std::string> server,
                                           std::filesystem::path bundleRoot = bundle::root(),
                                           Random64 random = secureRandom64);

    std::string installedVersion() const;

    // Main queue only, once.
    void startPeriodicChecks();
    // Main queue only. Refused without a callback while a check runs; otherwise `completion` is
    // called on the main queue once the run is over and `checking` is clear again.
    void check(Completion completion);

    // Main queue only: each result of a check that the schedule started goes to `report`.
    void reportAutomaticChecks(Completion report) { reportAutomatic_ = std::move(report); }

    // Blocking: steps up to the writable-folder test, then the installer's part.
    UpdateResult run() const;

    void setManifestTimesForTesting(ManifestTimes times) { times_ = times; }
    void setServerForTesting(std::optional<std::string> server) { server_ = std::move(server); }

  private:
    Updater(std::shared_ptr<TaskQueue> mainQueue, std::shared_ptr<TaskQueue> worker,
            std::shared_ptr<UpdateInstaller> installer, std::optional<std::string> server,
            std::filesystem::path bundleRoot, Random64 random);

    // The server's base, or the built-in one, + the platform path; nothing when the text does not
    // form a URL.
    std::optional<std::string> manifestURL() const;

    void scheduleDailyCheck();
    void checkQuietly();

    const std::shared_ptr<TaskQueue> mainQueue_;
    const std::shared_ptr<TaskQueue> worker_;
    const std::shared_ptr<UpdateInstaller> installer_;
    std::optional<std::string> server_;
    const std::filesystem::path bundleRoot_;
    const Random64 random_;
    ManifestTimes times_;
    bool checking_ = false;
    Completion reportAutomatic_;
};

}  // namespace vantrel
