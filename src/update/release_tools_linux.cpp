#include "update/release_tools_linux.h"

#include <fcntl.h>

#include "support/file_io.h"
#include "support/unique_fd.h"
#include "update/archive_extraction.h"
#include "update/bundle_swap.h"
#include "update/release_tools_file_list.h"
#include "support/run_tool.h"
#include "update/scratch_folder.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

bool isRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(path, error));
}

}  // namespace

LinuxReleaseTools::LinuxReleaseTools(fs::path signers, std::string principal, StagedUpdate staging,
                                     ArchiveLimits limits, std::string sshKeygen)
    : signers_(std::move(signers)),
      principal_(std::move(principal)),
      staging_(std::move(staging)),
      limits_(limits),
      sshKeygen_(std::move(sshKeygen)) {}

std::optional<fs::path> LinuxReleaseTools::unpack(const fs::path& image) {
    // Whatever an earlier run left there is no release of this one, and no marker may name it.
    removeTree(staging_.marker());
    removeTree(staging_.staged());
    if (!extractArchive(image, kBundleFolder, staging_.staged(), limits_)) {
        return std::nullopt;
    }
    return staging_.staged();
}

void LinuxReleaseTools::discard(const fs::path& bundle) {
    removeTree(bundle);
}

bool LinuxReleaseTools::signatureAccepted(const fs::path& list, const fs::path& sig) {
    // ssh-keygen reads the signed message from its standard input.
    UniqueFd message(::open(list.c_str(), O_RDONLY | O_CLOEXEC));
    if (!message.valid()) {
        return false;
    }
    auto verified = runTool(sshKeygen_,
                            {"-Y", "verify", "-f", signers_.string(), "-I", principal_, "-n",
                             kNamespace, "-s", sig.string()},
                            message.get());
    return verified.status == 0;
}

bool LinuxReleaseTools::verify(const fs::path& bundle) {
    auto list = bundle / kFileListName;
    auto sig = bundle / kFileListSignatureName;
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
    auto actual = describeBundle(bundle);
    return actual && (*actual)["entries"] == listed["entries"];
}

std::unique_ptr<ReleaseTools> platformReleaseTools(const fs::path& liveBundle) {
    return std::make_unique<LinuxReleaseTools>(liveBundle / "Resources" / "release-signers",
                                               kTeamIdentifier, StagedUpdate{liveBundle});
}

}  // namespace vantrel
