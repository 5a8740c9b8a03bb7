#include "update/release_tools_linux.h"

#include <fcntl.h>
#include <stdlib.h>

#include "support/file_io.h"
#include "support/unique_fd.h"
#include "update/release_tools_archive.h"
#include "update/release_tools_file_list.h"
#include "update/run_tool.h"
#include "update/scratch_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Files lose every write permission and any set-id bit, so what was verified stays as it was
// until it is copied; folders stay writable for their owner, so that the copy can be removed.
bool makeReadOnly(const fs::path& folder) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) {
            return false;
        }
        auto status = it->symlink_status(error);
        if (fs::is_directory(status)) {
            fs::permissions(it->path(), static_cast<fs::perms>(0755), error);
        } else if (fs::is_regular_file(status)) {
            fs::permissions(it->path(), status.permissions() & static_cast<fs::perms>(0555), error);
        } else if (!fs::is_symlink(status)) {
            return false;
        }
        if (error) {
            return false;
        }
    }
    return !error;
}

bool isRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(path, error));
}

}  // namespace

LinuxReleaseTools::LinuxReleaseTools(fs::path signers, std::string principal,
                                     fs::path extractionBase, LinuxToolPaths tools,
                                     ArchiveLimits limits)
    : signers_(std::move(signers)),
      principal_(std::move(principal)),
      extractionBase_(std::move(extractionBase)),
      tools_(std::move(tools)),
      limits_(limits) {}

bool LinuxReleaseTools::listingIsSafe(const fs::path& image) {
    // The C locale keeps tar's listing in the one format the parser reads.
    auto listing = runTool(tools_.env, {"LC_ALL=C", tools_.tar, "-t", "-v", "-z", "-f",
                                        image.string(), "--numeric-owner", "--quoting-style=c"});
    if (listing.status != 0) {
        return false;
    }
    auto entries = parseTarListing(listing.output);
    return entries && archiveIsSafe(*entries, limits_);
}

std::optional<fs::path> LinuxReleaseTools::attach(const fs::path& image) {
    if (!listingIsSafe(image)) {
        return std::nullopt;
    }
    std::string folder = (extractionBase_ / "vantrel-release-XXXXXX").string();
    if (!::mkdtemp(folder.data())) {
        return std::nullopt;
    }
    auto extracted =
        runTool(tools_.env, {"LC_ALL=C", tools_.tar, "-x", "-z", "-f", image.string(), "-C", folder,
                             "--no-same-owner", "--same-permissions", "--keep-old-files"});
    if (extracted.status != 0 || !makeReadOnly(folder)) {
        removeTree(folder);
        return std::nullopt;
    }
    return fs::path(folder);
}

void LinuxReleaseTools::detach(const fs::path& mountPoint) {
    removeTree(mountPoint);
}

std::vector<std::string> LinuxReleaseTools::detachCommand(const fs::path& mountPoint) const {
    return {"/bin/rm", "-rf", mountPoint.string()};
}

bool LinuxReleaseTools::signatureAccepted(const fs::path& list, const fs::path& sig) {
    // ssh-keygen reads the signed message from its standard input.
    UniqueFd message(::open(list.c_str(), O_RDONLY | O_CLOEXEC));
    if (!message.valid()) {
        return false;
    }
    auto verified = runTool(tools_.sshKeygen,
                            {"-Y", "verify", "-f", signers_.string(), "-I", principal_, "-n",
                             kNamespace, "-s", sig.string()},
                            message.get());
    return verified.status == 0;
}

bool LinuxReleaseTools::verify(const fs::path& app) {
    auto list = app / kFileListName;
    auto sig = app / kFileListSignatureName;
    if (!isRegularFile(list) || !isRegularFile(sig) || !signatureAccepted(list, sig)) {
        return false;
    }
    auto text = readWholeFile(list);
    if (!text) {
        return false;
    }
    auto listed = nlohmann::json::parse(*text, nullptr, false);
    if (!listed.is_object() || !listed.contains("entries") || !listed["entries"].is_object()) {
        return false;
    }
    auto actual = describeBundle(app);
    return actual && (*actual)["entries"] == listed["entries"];
}

std::unique_ptr<ReleaseTools> platformReleaseTools(const fs::path& liveBundle) {
    return std::make_unique<LinuxReleaseTools>(liveBundle / "Resources" / "release-signers",
                                               kTeamIdentifier);
}

}  // namespace vantrel
