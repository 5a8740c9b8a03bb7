#pragma once

#include <optional>
#include <string>

#include "support/build.h"
#include "support/paths.h"

namespace vantrel {

// What a run takes from the environment and the bundle it started with: read once, in `main`,
// and handed down, so nothing deeper reads the environment.
struct RunContext {
    Paths paths;
    Build build;
    // "VANTREL_DIST": another update server's base address, counted when present, even empty.
    std::optional<std::string> updateServer;
    // Started by the service manager (INVOCATION_ID).
    bool underServiceManager = false;
    // The service manager's journal stream ("JOURNAL_STREAM") and notify socket ("NOTIFY_SOCKET").
    std::string journalStream;
    std::string notifySocket;

    static RunContext ofThisProcess();
};

}  // namespace vantrel
