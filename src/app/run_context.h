#pragma once

#include <optional>
#include <string>

#include "support/build.h"
#include "support/paths.h"

namespace vantrel {

// How a run ended: the process's exit status, and whether it ended because an update it installed
// asked for the quit, so that the new version is to be started in this process. A run that was
// asked to stop leaves an installed update for the next start.
struct RunEnd {
    int status = 0;
    bool forUpdate = false;
};

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
