#include "app/application_parts.h"

#include "update/release_installer.h"
#include "update/thread_per_task_queue.h"

namespace vantrel {

ApplicationParts buildApplicationParts(const RunContext& context,
                                       std::shared_ptr<TaskQueue> mainQueue,
                                       std::function<void()> requestQuit) {
    auto background = std::make_shared<BackgroundQueue>();
    auto agent =
        AgentProcess::create(AgentConfig::of(context.paths, context.build), mainQueue, background);
    auto refused = std::make_shared<RefusedRelease>(refusedReleaseFile(context.paths.support()));
    // Each update run gets a thread of its own, so that quitting never waits for one.
    auto updater =
        Updater::create(mainQueue, std::make_shared<ThreadPerTaskQueue>(),
                        makeUpdateInstaller(mainQueue, std::move(requestQuit), std::move(refused)),
                        context.updateServer);
    return {std::move(mainQueue), std::move(background), std::move(agent), std::move(updater)};
}

}  // namespace vantrel
