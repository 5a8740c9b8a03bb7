#pragma once

#include "app/launch_options.h"
#include "app/run_context.h"

namespace vantrel {

// The exit status of a start that found another copy running for this user: a service manager
// must not restart it.
inline constexpr int kExitAlreadyRunning = 3;

// Supervises the agent without any window: each state line goes to standard output (never waiting
// for a reader), SIGTERM, SIGINT and SIGHUP stop the agent as a quit does. Under a service manager
// it reports readiness and each state line to it, and the journal gets priorities and paced
// readings.
RunEnd runHeadless(const LaunchOptions& options, const RunContext& context);

}  // namespace vantrel
