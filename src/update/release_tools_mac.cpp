#include "update/release_tools_mac.h"

#include "support/blank_space.h"
#include "support/run_tool.h"

namespace vantrel {
std::optional<std::string> mountPointInAttachOutput(std::string_view output) {
    while (!output.empty()) {
        size_t lineStart = output.rfind('\n', output.size() - 1);
        lineStart = lineStart == std::string_view::npos ? 0 : lineStart + 1;
        std::string_view line = output.substr(lineStart);
        if (size_t at = line.find("/tmp/"); at != std::string_view::npos) {
            return std::string(trimmed(line.substr(at)));
        }
        output = output.substr(0, lineStart == 0 ? 0 : lineStart - 1);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> MacReleaseTools::attach(const std::filesystem::path& image) {
    auto attached = runTool(tools_.hdiutil, {"attach", "-nobrowse", "-readonly", "-mountrandom",
                                             "/tmp", image.string()});
    if (attached.status != 0) {
        return std::nullopt;
    }
    auto mountPoint = mountPointInAttachOutput(attached.output);
    if (!mountPoint) {
        return std::nullopt;
    }
    return std::filesystem::path(*mountPoint);
}

void MacReleaseTools::detach(const std::filesystem::path& mountPoint) {
    runTool(tools_.hdiutil, {"detach", mountPoint.string(), "-quiet"});
}

std::vector<std::string> MacReleaseTools::detachCommand(
    const std::filesystem::path& mountPoint) const {
    return {tools_.hdiutil, "detach", mountPoint.string(), "-quiet"};
}

bool MacReleaseTools::verify(const std::filesystem::path& app) {
    auto assessment = runTool(
        tools_.spctl, {"-a", "-t", "exec", "--context", "context:primary-signature", app.string()});
    if (assessment.status != 0) {
        return false;
    }
    // The details arrive on standard error, which runTool() merges into the output.
    auto details = runTool(tools_.codesign, {"-dv", "--verbose=4", app.string()});
    return details.output.find(std::string("TeamIdentifier=") + kTeamIdentifier) !=
           std::string::npos;
}

}  // namespace vantrel
