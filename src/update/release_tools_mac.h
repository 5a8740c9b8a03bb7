#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/release_tools.h"

namespace vantrel {

// Where the macOS tools are; tests point these at stand-ins.
struct MacToolPaths {
    std::string hdiutil = "/usr/bin/hdiutil";
    std::string spctl = "/usr/sbin/spctl";
    std::string codesign = "/usr/bin/codesign";
};

// The mount point in hdiutil's attach output: the last line that contains "/tmp/", from that
// occurrence to the line's end, without surrounding white space. Nothing when no line has it.
std::optional<std::string> mountPointInAttachOutput(std::string_view output);

// Disk images, Gatekeeper's assessment and the signing Team Identifier: the macOS build's way of
// opening and checking a release, which then hands the swap to a script that outlives it.
class MacReleaseTools final {
  public:
    explicit MacReleaseTools(MacToolPaths tools = {}) : tools_(std::move(tools)) {}

    std::string imageName() const { return "update.dmg"; }
    std::string bundleName() const { return "Vantrel Agent.app"; }
    // Attaches the image read-only at a fresh mount point; nothing when that fails.
    std::optional<std::filesystem::path> attach(const std::filesystem::path& image);
    // Releases a mount point; failures are ignored.
    void detach(const std::filesystem::path& mountPoint);
    // The same as a command line, for the swap script.
    std::vector<std::string> detachCommand(const std::filesystem::path& mountPoint) const;
    // Whether the app passes the assessment and is signed by kTeamIdentifier.
    bool verify(const std::filesystem::path& app);

  private:
    MacToolPaths tools_;
};

}  // namespace vantrel
