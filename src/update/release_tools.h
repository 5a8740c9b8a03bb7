#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vantrel {

// The platform's way of opening and checking a downloaded release. Every call blocks and reports
// failure as a value.
class ReleaseTools {
  public:
    virtual ~ReleaseTools() = default;

    // The downloaded file's name in the scratch folder.
    virtual std::string imageName() const = 0;

    // Opens the downloaded image into the staging folder beside the live bundle: that folder, or
    // nothing (and nothing left there) when the image is refused.
    virtual std::optional<std::filesystem::path> unpack(const std::filesystem::path& image) = 0;
    // Removes an unpacked bundle that is not kept; failures are ignored.
    virtual void discard(const std::filesystem::path& bundle) = 0;

    // Whether the bundle carries a valid signature of the expected signer.
    virtual bool verify(const std::filesystem::path& bundle) = 0;
};

// The signer every release must be signed by.
inline constexpr const char* kTeamIdentifier = "QK4TR8MZ2V";

// The tools of the system this is built for: a release must be signed by kTeamIdentifier, as the
// running bundle's own records say.
std::unique_ptr<ReleaseTools> platformReleaseTools(const std::filesystem::path& liveBundle);

}  // namespace vantrel
