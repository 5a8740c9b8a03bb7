#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The platform's way of opening, checking and swapping in a downloaded release. Every call
// blocks and reports failure as a value.
class ReleaseTools {
  public:
    virtual ~ReleaseTools() = default;

    // The downloaded file's name in the scratch folder.
    virtual std::string imageName() const = 0;
    // The bundle's name inside an attached image.
    virtual std::string bundleName() const = 0;

    // Attaches the image read-only at a fresh mount point; nothing when that fails.
    virtual std::optional<std::filesystem::path> attach(const std::filesystem::path& image) = 0;
    // Releases a mount point; failures are ignored.
    virtual void detach(const std::filesystem::path& mountPoint) = 0;
    // The same as a command line, for a swap script that outlives the application.
    virtual std::vector<std::string> detachCommand(
        const std::filesystem::path& mountPoint) const = 0;

    // Whether the bundle carries a valid signature of the expected signer.
    virtual bool verify(const std::filesystem::path& app) = 0;
};

// The signer every release must be signed by.
inline constexpr const char* kTeamIdentifier = "QK4TR8MZ2V";

// The tools of the system this is built for: a release must be signed by kTeamIdentifier, as the
// running bundle's own records say.
std::unique_ptr<ReleaseTools> platformReleaseTools(const std::filesystem::path& liveBundle);

}  // namespace vantrel
