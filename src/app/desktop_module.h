#pragma once

#include "app/launch_options.h"

namespace vantrel {

// The desktop shell's module in the bundle (lib/) and its one exported entry point.
inline constexpr const char* kDesktopModule = "lib/vantrel-desktop.so";
inline constexpr const char* kDesktopEntry = "vantrel_run_desktop";

using DesktopEntry = int (*)(int argc, char** argv, const LaunchOptions* options);

}  // namespace vantrel
