#pragma once

#include "app/launch_options.h"

namespace vantrel {

// Supervises the agent without any window: each state line goes to standard output (never waiting
// for a reader), SIGTERM, SIGINT and SIGHUP stop the agent as a quit does. Returns the exit status.
int runHeadless(const LaunchOptions& options);

}  // namespace vantrel
