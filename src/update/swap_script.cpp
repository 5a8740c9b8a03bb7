#include "update/swap_script.h"

#include "support/atomic_file.h"

namespace vantrel {
namespace {

std::string header(const SwapPaths& paths) {
    return "#!/bin/sh\nset -e\nlive=" + shellQuoted(paths.live.string()) +
           "\nstaged=" + shellQuoted(paths.staged.string()) +
           "\nprevious=" + shellQuoted(paths.previous.string());
}

constexpr const char* kCopyComment =
    "\n"
    "\n"
    "# Copy onto the destination volume before touching anything live, so\n"
    "# the slow part is over before there is any window to interrupt.\n"
    "rm -rf \"$staged\" \"$previous\"\n";

constexpr const char* kWaitComment =
    "\n"
    "# Wait for the app to go. It is quitting as this starts; 30 seconds is\n"
    "# far longer than that takes and short enough not to hang forever.\n"
    "i=0\n";

constexpr const char* kRenames =
    "  i=$((i + 1))\n"
    "done\n"
    "\n"
    "mv \"$live\" \"$previous\"\n"
    "if ! mv \"$staged\" \"$live\"; then\n"
    "  mv \"$previous\" \"$live\"      # put it back rather than leave nothing\n"
    "  exit 1\n"
    "fi\n"
    "rm -rf \"$previous\"\n"
    "\n";

}  // namespace

std::string shellQuoted(std::string_view path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string macSwapScript(const SwapPaths& paths) {
    return header(paths) + kCopyComment + "/usr/bin/ditto " + shellQuoted(paths.newApp.string()) +
           " \"$staged\"\n" + kWaitComment +
           "while [ $i -lt 60 ] && /usr/bin/pgrep -f \"$live/Contents/MacOS/VantrelAgent\" "
           ">/dev/null; do\n"
           "  sleep 0.5\n" +
           kRenames +
           "# Quarantine is inherited from the download and would make the update\n"
           "# look untrusted even though it is stapled. Removed only after the\n"
           "# signature and Team ID have been checked, never before.\n"
           "/usr/bin/xattr -dr com.apple.quarantine \"$live\" 2>/dev/null || true\n"
           "/usr/bin/open \"$live\"";
}

std::string macSwapScript(const std::filesystem::path& live, const std::filesystem::path& newApp) {
    auto parent = live.parent_path();
    return macSwapScript({.live = live,
                          .staged = parent / ".VantrelAgent-incoming.app",
                          .previous = parent / ".VantrelAgent-previous.app",
                          .newApp = newApp});
}

std::optional<std::filesystem::path> writeSwapScript(std::string_view text,
                                                     const std::filesystem::path& scratch) {
    auto script = scratch / "swap.sh";
    if (!writeFileAtomically(script, text)) {
        return std::nullopt;
    }
    return script;
}

}  // namespace vantrel
