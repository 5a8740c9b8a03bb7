#pragma once

#include <sys/types.h>

#include "support/unique_fd.h"

namespace vantrel {

// A process descriptor for `pid`: it keeps naming that process, so a signal sent through it never
// reaches a later one that reuses the number. Invalid when the process is gone.
UniqueFd openProcessDescriptor(pid_t pid);

// False when the process has been reaped or the signal could not be sent.
bool sendSignal(int processDescriptor, int number);

// Whether the process ends within `seconds` (negative: however long it takes).
bool endsWithin(int processDescriptor, double seconds);

}  // namespace vantrel
