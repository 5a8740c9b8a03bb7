#pragma once

#include <functional>
#include <memory>

#include "agent/agent_process.h"
#include "app/run_context.h"
#include "support/background_queue.h"
#include "support/task_queue.h"
#include "update/updater.h"

namespace vantrel {

// What the headless and the desktop run share: the main queue each run brings, the shared
// background queue, the agent's supervisor and the updater with its installer. Each run adds only
// its own face.
struct ApplicationParts {
    std::shared_ptr<TaskQueue> mainQueue;
    std::shared_ptr<BackgroundQueue> background;
    std::shared_ptr<AgentProcess> agent;
    std::shared_ptr<Updater> updater;
};

// The one place that builds them. `requestQuit` runs on the main queue when an installed update
// needs the application to end; the run stops the agent on its way out.
ApplicationParts buildApplicationParts(const RunContext& context,
                                       std::shared_ptr<TaskQueue> mainQueue,
                                       std::function<void()> requestQuit);

}  // namespace vantrel
