#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// Disk images, Gatekeeper's assessment and the signing Team Identifier.
class MacReleaseTools final : public ReleaseTools {
  public:
    explicit MacReleaseTools(MacToolPaths tools = {}) : tools_(std::move(tools)) {}

    std::string imageName() const override { return "update.dmg"; }
    std::string bundleName() const override { return "Vantrel Agent.app"; }
    std::optional<std::filesystem::path> attach(const std::filesystem::path& image) override;
    void detach(const std::filesystem::path& mountPoint) override;
    std::vector<std::string> detachCommand(const std::filesystem::path& mountPoint) const override;
    bool verify(const std::filesystem::path& app) override;

  private:
    MacToolPaths tools_;
};

}  // namespace vantrel
