#include "update/release_installer.h"

#include "support/bundle.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "update/scratch_folder.h"
#include "update/swap_script.h"
#include "update/updater.h"

namespace vantrel {
namespace {

// Runs the swap script and, once it has ended (its copy is done and the shell has read all of
// it), releases the mount point and removes the scratch folder. It runs in the background, so it
// is no child of the application, which may be gone long before this clean-up.
constexpr const char* kSwapAndCleanUp =
    "shell=$1 script=$2 scratch=$3\n"
    "shift 3\n"
    "(\n"
    "  \"$shell\" \"$script\" || true\n"
    "  \"$@\" >/dev/null 2>&1 || true\n"
    "  /bin/rm -rf \"$scratch\"\n"
    ") &\n";

}  // namespace

UpdateResult ReleaseInstaller::install(const Manifest& manifest) {
    auto scratch = scratchFolderPath(setup_.temporary);
    std::error_code ignored;
    std::filesystem::create_directories(scratch, ignored);

    auto image = scratch / setup_.tools->imageName();
    if (!setup_.download(manifest.url, image)) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kDownloadFailed);
    }
    if (!checksumMatches(image, manifest.sha256, setup_.checksumTool)) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kChecksumMismatch);
    }
    auto mountPoint = setup_.tools->attach(image);
    if (!mountPoint) {
        removeTree(scratch);
        return UpdateResult::failed(reasons::kWouldNotMount);
    }
    auto newApp = *mountPoint / setup_.tools->bundleName();
    if (!setup_.tools->verify(newApp)) {
        setup_.tools->detach(*mountPoint);
        removeTree(scratch);
        return UpdateResult::failed(reasons::kNotSigned);
    }
    auto script = writeSwapScript(setup_.tools->swapScript(setup_.live, newApp), scratch);
    if (!script || !startSwap(*script, scratch, *mountPoint)) {
        setup_.tools->detach(*mountPoint);
        removeTree(scratch);
        return UpdateResult::failed(reasons::kCouldNotPrepare);
    }
    setup_.mainQueue->post(setup_.requestQuit);
    return UpdateResult::installed(manifest.version);
}

bool ReleaseInstaller::startSwap(const std::filesystem::path& script,
                                 const std::filesystem::path& scratch,
                                 const std::filesystem::path& mountPoint) const {
    std::vector<std::string> arguments{"-c",         kSwapAndCleanUp, "vantrel-update",
                                       setup_.shell, script.string(), scratch.string()};
    for (auto& word : setup_.tools->detachCommand(mountPoint)) {
        arguments.push_back(std::move(word));
    }
    // The child keeps our standard output and error, and ends as soon as it has put the swap in
    // the background.
    auto started = ChildProcess::spawn({.executable = setup_.shell,
                                        .arguments = arguments,
                                        .environment = currentEnvironment(),
                                        .output = -1});
    return started.child && started.child->wait() == 0;
}

bool downloadRelease(const std::string& url, const std::filesystem::path& to,
                     double timeoutSeconds) {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = timeoutSeconds;
    return httpDownload(request, to).status == 200;
}

std::shared_ptr<UpdateInstaller> makeUpdateInstaller(std::shared_ptr<TaskQueue> mainQueue,
                                                     std::function<void()> requestQuit) {
    auto live = bundle::root();
    return std::make_shared<ReleaseInstaller>(ReleaseInstaller::Setup{
        .mainQueue = std::move(mainQueue),
        .requestQuit = std::move(requestQuit),
        .tools = platformReleaseTools(live, Updater::teamIdentifier),
        .live = live,
        .temporary = std::filesystem::temp_directory_path(),
        .download = [](const std::string& url,
                       const std::filesystem::path& to) { return downloadRelease(url, to); },
        .checksumTool = kChecksumTool,
        .shell = "/bin/sh",
    });
}

}  // namespace vantrel
