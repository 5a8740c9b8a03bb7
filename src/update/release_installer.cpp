#include "update/release_installer.h"

#include "support/bundle.h"
#include "support/error_text.h"
#include "support/http_client.h"
#include "update/bundle_swap.h"
#include "update/scratch_folder.h"
#include "update/version.h"

namespace vantrel {
namespace {

// $TMPDIR or /tmp, asked only when an update runs: a missing folder fails that update alone.
std::optional<std::filesystem::path> temporaryFolder() {
    std::error_code error;
    auto folder = std::filesystem::temp_directory_path(error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        return std::nullopt;
    }
    return folder;
}

}  // namespace

UpdateResult ReleaseInstaller::install(const Manifest& manifest) {
    if (setup_.refused && setup_.refused->covers(manifest.version)) {
        return UpdateResult::failed(reasons::refused(manifest.version));
    }
    auto temporary = setup_.temporary.empty() ? temporaryFolder() : setup_.temporary;
    if (!temporary) {
        return UpdateResult::failed(reasons::kCouldNotPrepare);
    }
    auto scratch = scratchFolderPath(*temporary);
    std::error_code ignored;
    std::filesystem::create_directories(scratch, ignored);

    auto image = scratch / setup_.tools->imageName();
    if (!setup_.download(manifest.url, image)) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kDownloadFailed);
    }
    if (!checksumMatches(image, manifest.sha256)) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kChecksumMismatch);
    }
    auto newApp = setup_.tools->unpack(image);
    removeTree(scratch);
    if (!newApp) {
        return UpdateResult::failed(platform_words::kReleaseWouldNotOpen);
    }
    if (!setup_.tools->verify(*newApp) || !isTheAnnouncedRelease(*newApp, manifest)) {
        setup_.tools->discard(*newApp);
        return UpdateResult::failed(reasons::kNotSigned);
    }
    auto info = bundle::infoAt(*newApp);
    if (!releaseFitsThisMachine(info, setup_.machine)) {
        setup_.tools->discard(*newApp);
        return UpdateResult::failed(
            reasons::builtForAnotherMachine(architectureIn(info), setup_.machine));
    }
    // Staging checks the copy once more, written to disk, and leaves nothing when it fails.
    if (auto reason = setup_.stage(*newApp, manifest.version)) {
        return UpdateResult::notPutInPlace(*reason);
    }
    setup_.mainQueue->post(setup_.requestQuit);
    return UpdateResult::installed(manifest.version);
}

// A genuine older release under a newer manifest would install a downgrade, and then find the
// manifest newer again at every check.
bool ReleaseInstaller::isTheAnnouncedRelease(const std::filesystem::path& newApp,
                                             const Manifest& manifest) const {
    auto version = bundle::versionIn(bundle::infoAt(newApp));
    return version == manifest.version &&
           isNewerVersion(version, bundle::versionIn(bundle::infoAt(setup_.live)));
}

bool downloadRelease(const std::string& url, const std::filesystem::path& to, double timeoutSeconds,
                     std::uint64_t longest) {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = timeoutSeconds;
    request.longestBody = longest;
    return httpDownload(request, to).status == 200;
}

ReleaseInstaller::Stage stageBesideLive(std::filesystem::path live,
                                        std::shared_ptr<ReleaseTools> tools,
                                        std::shared_ptr<RefusedRelease> refused) {
    return [live = std::move(live), tools = std::move(tools), refused = std::move(refused)](
               const std::filesystem::path& newApp,
               const std::string& version) -> std::optional<std::string> {
        StagedUpdate update{live};
        auto outcome = stageUpdate(update, newApp, version, [&](const std::filesystem::path& copy) {
            return tools->verify(copy);
        });
        if (outcome == StageOutcome::notCopied) {
            return reasons::kCouldNotPrepare;
        }
        if (outcome == StageOutcome::doesNotStart) {
            refused->refuseForThisRun(version);
            return reasons::doesNotStart(version);
        }
        if (int error = exchangeStaged(update)) {
            refused->refuseForThisRun(version);
            return reasons::couldNotPutInPlace(version, describe(error));
        }
        return std::nullopt;
    };
}

std::shared_ptr<UpdateInstaller> makeUpdateInstaller(std::shared_ptr<TaskQueue> mainQueue,
                                                     std::function<void()> requestQuit,
                                                     std::shared_ptr<RefusedRelease> refused) {
    auto live = bundle::root();
    std::shared_ptr<ReleaseTools> tools = platformReleaseTools(live);
    return std::make_shared<ReleaseInstaller>(ReleaseInstaller::Setup{
        .mainQueue = std::move(mainQueue),
        .requestQuit = std::move(requestQuit),
        .tools = tools,
        .live = live,
        .temporary = {},
        .download = [](const std::string& url,
                       const std::filesystem::path& to) { return downloadRelease(url, to); },
        .stage = stageBesideLive(live, tools, refused),
        .refused = refused,
        .machine = std::string(thisMachineArchitecture()),
    });
}

}  // namespace vantrel
