#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "support/task_queue.h"
#include "update/checksum.h"
#include "update/release_tools.h"
#include "update/update_installer.h"

namespace vantrel {

// Downloads a release into a scratch folder, checks it against its checksum, unpacks it into the
// staging folder beside the live bundle, verifies it there, has it staged for the application to
// swap in as it ends, and then asks the application to quit.
class ReleaseInstaller final : public UpdateInstaller {
  public:
    using Download = std::function<bool(const std::string& url, const std::filesystem::path& to)>;
    // Puts the verified bundle in place for the application to swap in as it ends.
    using Stage =
        std::function<bool(const std::filesystem::path& newApp, const std::string& version)>;

    struct Setup {
        std::shared_ptr<TaskQueue> mainQueue;
        std::function<void()> requestQuit;  // runs on the main queue once a swap is under way
        std::shared_ptr<ReleaseTools> tools;
        std::filesystem::path live;  // the running bundle
        // The per-user temporary folder; empty: looked up when an update runs.
        std::filesystem::path temporary;
        Download download;
        Stage stage;
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

// The installer of this system for the running bundle, downloading over HTTP.
std::shared_ptr<UpdateInstaller> makeUpdateInstaller(std::shared_ptr<TaskQueue> mainQueue,
                                                     std::function<void()> requestQuit);

}  // namespace vantrel
