#pragma once

#include <filesystem>
#include <string>

#include "update/release_tools.h"
#include "update/release_tools_archive.h"

namespace vantrel {

// Where the tools behind the Linux release checks are; tests may point these elsewhere.
struct LinuxToolPaths {
    std::string tar = "/bin/tar";
    std::string env = "/usr/bin/env";
    std::string sshKeygen = "/usr/bin/ssh-keygen";
};

// Releases as VantrelAgent-<version>.tar.gz archives holding VantrelAgent/, signed with
// `ssh-keygen -Y sign` over the bundle's list of entries.
class LinuxReleaseTools final : public ReleaseTools {
  public:
    static constexpr const char* kNamespace = "vantrel-release";

    // `signers`: the allowed-signers file of the running bundle; `principal`: the signer a
    // release must be signed by; `extractionBase`: where archives are extracted; `limits`: the
    // most an extraction may write.
    LinuxReleaseTools(std::filesystem::path signers, std::string principal,
                      std::filesystem::path extractionBase = "/tmp", LinuxToolPaths tools = {},
                      ArchiveLimits limits = {});

    std::string imageName() const override { return "update.tar.gz"; }
    std::string bundleName() const override { return "VantrelAgent"; }
    std::optional<std::filesystem::path> attach(const std::filesystem::path& image) override;
    void detach(const std::filesystem::path& mountPoint) override;
    std::vector<std::string> detachCommand(const std::filesystem::path& mountPoint) const override;
    bool verify(const std::filesystem::path& app) override;

  private:
    bool listingIsSafe(const std::filesystem::path& image);
    bool signatureAccepted(const std::filesystem::path& list, const std::filesystem::path& sig);

    std::filesystem::path signers_;
    std::string principal_;
    std::filesystem::path extractionBase_;
    LinuxToolPaths tools_;
    ArchiveLimits limits_;
};

}  // namespace vantrel
