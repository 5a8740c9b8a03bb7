#include "update/updater.h"

#include <unistd.h>

#include "support/url.h"
#include "update/release_architecture.h"
#include "update/version.h"

namespace vantrel {
namespace {

// The releases of this platform and architecture (/linux/amd64/latest.json); the macOS build's
// manifest sits at "/macos/latest.json".
std::string platformManifestPath() {
    return "/linux/" + std::string(thisMachineArchitecture()) + "/latest.json";
}

// Written into Info.json by the package build: the system's package manager updates this copy.
constexpr const char* kPackageManagerKey = "VantrelPackageManager";

bool isPackaged(const std::optional<nlohmann::json>& info) {
    return info && info->is_object() && info->contains(kPackageManagerKey);
}

// Asked of the folder itself: the swap renames bundles inside it.
bool folderIsWritable(const std::filesystem::path& folder) {
    return ::access(folder.c_str(), W_OK) == 0;
}

}  // namespace

std::shared_ptr<Updater> Updater::create(std::shared_ptr<TaskQueue> mainQueue,
                                         std::shared_ptr<TaskQueue> worker,
                                         std::shared_ptr<UpdateInstaller> installer,
                                         std::optional<std::string> server,
                                         std::filesystem::path bundleRoot, Random64 random) {
    return std::shared_ptr<Updater>(new Updater(std::move(mainQueue), std::move(worker),
                                                std::move(installer), std::move(server),
                                                std::move(bundleRoot), std::move(random)));
}

Updater::Updater(std::shared_ptr<TaskQueue> mainQueue, std::shared_ptr<TaskQueue> worker,
                 std::shared_ptr<UpdateInstaller> installer, std::optional<std::string> server,
                 std::filesystem::path bundleRoot, Random64 random)
    : mainQueue_(std::move(mainQueue)),
      worker_(std::move(worker)),
      installer_(std::move(installer)),
      server_(std::move(server)),
      bundleRoot_(std::move(bundleRoot)),
      random_(std::move(random)) {}

std::optional<std::string> Updater::manifestURL() const {
    std::string base = server_ ? *server_ : std::string("https://") + updateHost + "/agent";
    std::string address = base + platformManifestPath();
    if (!url::parses(address)) {
        return std::nullopt;
    }
    return address;
}

std::string Updater::installedVersion() const {
    return bundle::versionIn(bundle::infoAt(bundleRoot_));
}

UpdateResult Updater::run() const {
    // A server that forms no address is as unreachable as a server that does not answer.
    auto address = manifestURL();
    auto manifest = address ? fetchManifest(*address, times_) : std::nullopt;
    if (!manifest) {
        return UpdateResult::failed(reasons::couldNotReach(updateHost));
    }
    if (!isNewerVersion(manifest->version, installedVersion())) {
        return UpdateResult::current(installedVersion());
    }
    // A packaged copy only says what its package manager will bring; it never replaces itself.
    if (isPackaged(bundle::infoAt(bundleRoot_))) {
        return UpdateResult::available(manifest->version);
    }
    if (!folderIsWritable(bundleRoot_.parent_path())) {
        return UpdateResult::failed(reasons::cannotReplaceItself(manifest->version));
    }
    return installer_->install(*manifest);
}

void Updater::check(Completion completion) {
    if (checking_) {
        return;
    }
    checking_ = true;
    worker_->post([weak = weak_from_this(), mainQueue = mainQueue_,
                   completion = std::move(completion)]() mutable {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        UpdateResult result = self->run();
        self.reset();
        // Posted after anything the run posted, so a quit request is handled first.
        mainQueue->post([weak, result, completion = std::move(completion)] {
            if (auto self = weak.lock()) {
                self->checking_ = false;
                if (completion) {
                    completion(result);
                }
            }
        });
    });
}

void Updater::startPeriodicChecks() {
    double delay = firstCheckDelay(drawBelow(kDelayDrawBound, random_));
    if (server_) {
        delay = kDistFirstDelay;
    }
    scheduleDailyCheck();
    mainQueue_->postAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->checkQuietly();
        }
    });
}

// The daily timer: each firing re-arms itself, so it fires 24 hours after the start and every
// 24 hours from then on, independently of the first check.
void Updater::scheduleDailyCheck() {
    mainQueue_->postAfter(kCheckInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->scheduleDailyCheck();
            self->checkQuietly();
        }
    });
}

void Updater::checkQuietly() {
    check(reportAutomatic_);
}

}  // namespace vantrel
