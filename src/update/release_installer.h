#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/task_queue.h"
#include "update/bundle_swap.h"
#include "update/checksum.h"
#include "update/release_architecture.h"
#include "update/release_tools.h"
#include "update/update_installer.h"

namespace vantrel {

// Downloads a release into a scratch folder, checks it against its checksum, unpacks it into the
// staging folder beside the live bundle, verifies it there, has it tried and put in place while the
// application runs, and then asks the application to quit so that the new version starts.
class ReleaseInstaller final : public UpdateInstaller {
  public:
    using Download = std::function<bool(const std::string& url, const std::filesystem::path& to)>;
    // Puts the verified bundle in place while the application runs; the reason when it cannot.
    using Stage = std::function<std::optional<std::string>(const std::filesystem::path& newApp,
                                                           const std::string& version)>;

    struct Setup {
        std::shared_ptr<TaskQueue> mainQueue;
        std::function<void()> requestQuit;  // runs on the main queue once a swap is under way
        std::shared_ptr<ReleaseTools> tools;
        std::filesystem::path live;  // the running bundle
        // The per-user temporary folder; empty: looked up when an update runs.
        std::filesystem::path temporary;
        Download download;
        Stage stage;
        // Releases not to install again; none refused when empty.
        std::shared_ptr<const RefusedRelease> refused = {};
        // The computer's architecture, in Debian's names; a release of another one is refused.
        std::string machine = std::string(thisMachineArchitecture());
    };

    explicit ReleaseInstaller(Setup setup) : setup_(std::move(setup)) {}

    UpdateResult install(const Manifest& manifest) override;

  private:
    bool isTheAnnouncedRelease(const std::filesystem::path& newApp, const Manifest& manifest) const;

    Setup setup_;
};

// A release archive is a few tens of MiB; a longer download is not one.
inline constexpr std::uint64_t kLongestDownload = std::uint64_t{512} << 20;

// Fetches `url` to `to` over HTTP; true only for status 200 within the time limit and with at
// most `longest` bytes (refused at once when the announced length is larger).
bool downloadRelease(const std::string& url, const std::filesystem::path& to,
                     double timeoutSeconds = 600, std::uint64_t longest = kLongestDownload);

// Stages the verified bundle beside `live`, tries it, and exchanges it with live; a release that
// does not start here or cannot be exchanged is refused for the rest of the run.
ReleaseInstaller::Stage stageBesideLive(std::filesystem::path live,
                                        std::shared_ptr<ReleaseTools> tools,
                                        std::shared_ptr<RefusedRelease> refused);

// The installer of this system for the running bundle, downloading over HTTP.
std::shared_ptr<UpdateInstaller> makeUpdateInstaller(std::shared_ptr<TaskQueue> mainQueue,
                                                     std::function<void()> requestQuit,
                                                     std::shared_ptr<RefusedRelease> refused);

}  // namespace vantrel
