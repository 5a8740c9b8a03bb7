#pragma once

#include <filesystem>
#include <string>

#include "update/bundle_swap.h"
#include "update/release_tools.h"
#include "update/release_tools_archive.h"

namespace vantrel {

// Releases as tar.gz archives holding VantrelAgent/, signed with `ssh-keygen -Y sign` over the
// bundle's list of entries. An archive is judged by its listing and written straight into the
// staging folder, read in this process.
class LinuxReleaseTools final : public ReleaseTools {
  public:
    static constexpr const char* kNamespace = "vantrel-release";
    static constexpr const char* kBundleFolder = "VantrelAgent";

    // `signers`: the allowed-signers file of the running bundle; `principal`: the signer a
    // release must be signed by; `staging`: the live bundle whose staged folder a release is
    // unpacked into (replacing any earlier one); `limits`: the most an unpacking may write.
    LinuxReleaseTools(std::filesystem::path signers, std::string principal, StagedUpdate staging,
                      ArchiveLimits limits = {}, std::string sshKeygen = "/usr/bin/ssh-keygen");

    std::string imageName() const override { return "update.tar.gz"; }
    std::optional<std::filesystem::path> unpack(const std::filesystem::path& image) override;
    void discard(const std::filesystem::path& bundle) override;
    bool verify(const std::filesystem::path& bundle) override;

  private:
    bool signatureAccepted(const std::filesystem::path& list, const std::filesystem::path& sig);

    std::filesystem::path signers_;
    std::string principal_;
    StagedUpdate staging_;
    ArchiveLimits limits_;
    std::string sshKeygen_;
};

}  // namespace vantrel
