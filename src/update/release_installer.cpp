#include "update/release_installer.h"

#include "support/bundle.h"
#include "support/child_process.h"
#include "support/error_text.h"
#include "support/http_client.h"
#include "update/bundle_swap.h"
#include "update/scratch_folder.h"
#include "update/swap_script.h"
#include "update/version.h"

namespace vantrel {
namespace {

// Runs the swap script and, once it has ended (its copy is done and the shell has read all of
// it), releases the mount point and removes the scratch folder. It runs detached, so it is no
// child of the application, which may be gone long before this clean-up.
constexpr const char* kSwapAndCleanUp =
    "shell=$1 script=$2 scratch=$3\n"
    "shift 3\n"
    "\"$shell\" \"$script\" || true\n"
    "\"$@\" >/dev/null 2>&1 || true\n"
    "/bin/rm -rf \"$scratch\"\n";

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
    auto mountPoint = setup_.tools->attach(image);
    if (!mountPoint) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kWouldNotMount);
    }
    auto newApp = *mountPoint / setup_.tools->bundleName();
    if (!setup_.tools->verify(newApp) || !isTheAnnouncedRelease(newApp, manifest)) {
        setup_.tools->detach(*mountPoint);
        removeTree(scratch);
        return UpdateResult::failed(reasons::kNotSigned);
    }
    auto info = bundle::infoAt(newApp);
    if (!releaseFitsThisMachine(info, setup_.machine)) {
        setup_.tools->detach(*mountPoint);
        removeTree(scratch);
        return UpdateResult::failed(
            reasons::builtForAnotherMachine(architectureIn(info), setup_.machine));
    }
    if (auto reason = handOver(newApp, manifest.version, scratch, *mountPoint)) {
        return UpdateResult::failed(*reason);
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

// Put in place here, or a script that outlives the application; either way the image and
// scratch folder go once nothing needs them any more. The reason when it fails.
std::optional<std::string> ReleaseInstaller::handOver(const std::filesystem::path& newApp,
                                                      const std::string& version,
                                                      const std::filesystem::path& scratch,
                                                      const std::filesystem::path& mountPoint) {
    if (setup_.stage) {
        auto reason = setup_.stage(newApp, version);
        setup_.tools->detach(mountPoint);
        removeTree(scratch);
        return reason;
    }
    auto script = writeSwapScript(macSwapScript(setup_.live, newApp), scratch);
    if (!script || !startSwap(*script, scratch, mountPoint)) {
        setup_.tools->detach(mountPoint);
        removeTree(scratch);
        return reasons::kCouldNotPrepare;
    }
    return std::nullopt;
}

bool ReleaseInstaller::startSwap(const std::filesystem::path& script,
                                 const std::filesystem::path& scratch,
                                 const std::filesystem::path& mountPoint) const {
    std::vector<std::string> arguments{"-c",         kSwapAndCleanUp, "vantrel-update",
                                       setup_.shell, script.string(), scratch.string()};
    for (auto& word : setup_.tools->detachCommand(mountPoint)) {
        arguments.push_back(std::move(word));
    }
    // Detached: the swap outlives the application. It keeps our standard output and error.
    auto started = ChildProcess::spawn({.executable = setup_.shell,
                                        .arguments = arguments,
                                        .environment = currentEnvironment(),
                                        .output = -1,
                                        .detached = true});
    return started.error == 0;
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
        .shell = "/bin/sh",
        .refused = refused,
        .machine = std::string(thisMachineArchitecture()),
    });
}

}  // namespace vantrel
