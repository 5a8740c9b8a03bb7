#include "app/application_parts.h"

#include "support/paths.h"
#include "update/release_installer.h"
#include "update/thread_per_task_queue.h"

namespace vantrel {

ApplicationParts buildApplicationParts(std::shared_ptr<TaskQueue> mainQueue,
                                       std::function<void()> requestQuit) {
    auto background = std::make_shared<BackgroundQueue>();
    auto agent = AgentProcess::create(AgentConfig::fromBundle(), mainQueue, background);
    // Each update run gets a thread of its own, so that quitting never waits for one.
    auto refused = std::make_shared<RefusedRelease>(refusedReleaseFile(Paths::support()));
    auto updater =
        Updater::create(mainQueue, std::make_shared<ThreadPerTaskQueue>(),
                        makeUpdateInstaller(mainQueue, std::move(requestQuit), std::move(refused)));
    return {std::move(mainQueue), std::move(background), std::move(agent), std::move(updater)};
}

}  // namespace vantrel
