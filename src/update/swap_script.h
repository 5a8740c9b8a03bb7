#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The folders a swap works on; staged and previous lie beside live, so both renames stay on
// one volume.
struct SwapPaths {
    std::filesystem::path live;      // the running bundle, replaced and relaunched
    std::filesystem::path staged;    // the copy of the new bundle, made before anything live moves
    std::filesystem::path previous;  // where live is parked during the swap
    std::filesystem::path newApp;    // the verified new bundle in the attached image
};

// A path as one single-quoted shell word; each quote inside becomes '\''.
std::string shellQuoted(std::string_view path);

// The macOS script: ditto, pgrep on Contents/MacOS/VantrelAgent, xattr, open.
std::string macSwapScript(const SwapPaths& paths);
// The same for replacing `live` by a copy of `newApp`.
std::string macSwapScript(const std::filesystem::path& live, const std::filesystem::path& newApp);

// Writes the script whole as scratch/"swap.sh" (not executable; it is run through /bin/sh).
// Nothing when the write fails.
std::optional<std::filesystem::path> writeSwapScript(std::string_view text,
                                                     const std::filesystem::path& scratch);

}  // namespace vantrel
