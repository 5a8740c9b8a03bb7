#pragma once

#include <signal.h>

#include <vector>

namespace vantrel {

// The signals that end the application as its Quit does: SIGTERM, SIGINT, and SIGHUP unless the
// application was started with SIGHUP ignored (under nohup), which then stays ignored. Ask before
// installing any handler of them.
std::vector<int> endingSignals();

sigset_t signalSet(const std::vector<int>& numbers);

}  // namespace vantrel
