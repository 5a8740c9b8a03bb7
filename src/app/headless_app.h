#pragma once

#include "app/launch_options.h"

namespace vantrel {

// Supervises the agent without any window: each state line goes to standard output, SIGTERM and
// SIGINT stop the agent as a quit does. Returns the exit status.
int runHeadless(const LaunchOptions& options);

}  // namespace vantrel
