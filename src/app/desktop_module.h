#pragma once

#include "app/launch_options.h"
#include "app/run_context.h"

namespace vantrel {

// The desktop shell's module in the bundle (lib/) and its one exported entry point.
inline constexpr const char* kDesktopModule = "lib/vantrel-desktop.so";
inline constexpr const char* kDesktopEntry = "vantrel_run_desktop";

// The module is built from the same sources as the executable, so the two agree on these types.
using DesktopEntry = RunEnd (*)(int argc, char** argv, const LaunchOptions* options,
                                const RunContext* context);

}  // namespace vantrel
