#include "update/release_tools_mac.h"

#include "update/shell.h"
#include "update/swap_script.h"

namespace vantrel {
namespace {

constexpr const char* kTeamIdentifierDetail = "TeamIdentifier=QK4TR8MZ2V";

// The platform's white space without line breaks: tab and the Unicode space separators.
size_t whitespaceAt(std::string_view text, size_t at) {
    static constexpr std::string_view kSpaces[] = {
        "\t",     " ",      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
        "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000"};
    for (auto space : kSpaces) {
        if (text.substr(at).starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

size_t whitespaceBefore(std::string_view text, size_t end) {
    for (size_t length = 1; length <= 3 && length <= end; ++length) {
        if (whitespaceAt(text.substr(0, end), end - length) == length) {
            return length;
        }
    }
    return 0;
}

std::string_view trimmed(std::string_view text) {
    while (size_t length = text.empty() ? 0 : whitespaceAt(text, 0)) {
        text.remove_prefix(length);
    }
    while (size_t length = whitespaceBefore(text, text.size())) {
        text.remove_suffix(length);
    }
    return text;
}

}  // namespace

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
    auto attached = shell(tools_.hdiutil, {"attach", "-nobrowse", "-readonly", "-mountrandom",
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
    shell(tools_.hdiutil, {"detach", mountPoint.string(), "-quiet"});
}

std::vector<std::string> MacReleaseTools::detachCommand(
    const std::filesystem::path& mountPoint) const {
    return {tools_.hdiutil, "detach", mountPoint.string(), "-quiet"};
}

bool MacReleaseTools::verify(const std::filesystem::path& app) {
    auto assessment = shell(
        tools_.spctl, {"-a", "-t", "exec", "--context", "context:primary-signature", app.string()});
    if (assessment.status != 0) {
        return false;
    }
    // The details arrive on standard error, which shell() merges into the output.
    auto details = shell(tools_.codesign, {"-dv", "--verbose=4", app.string()});
    return details.output.find(kTeamIdentifierDetail) != std::string::npos;
}

std::string MacReleaseTools::swapScript(const std::filesystem::path& live,
                                        const std::filesystem::path& newApp) const {
    auto parent = live.parent_path();
    return macSwapScript({.live = live,
                          .staged = parent / ".VantrelAgent-incoming.app",
                          .previous = parent / ".VantrelAgent-previous.app",
                          .newApp = newApp});
}

}  // namespace vantrel
