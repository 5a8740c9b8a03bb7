#pragma once

#include "app/launch_options.h"
#include "app/run_context.h"

namespace vantrel {

// Runs the tray application.
RunEnd runDesktop(int argc, char** argv, const LaunchOptions& options, const RunContext& context);

}  // namespace vantrel
