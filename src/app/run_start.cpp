#include "app/run_start.h"

#include <system_error>

#include "support/platform_words.h"

namespace vantrel {

RunStart RunStart::begin(const Paths& paths, const std::filesystem::path& bundle) {
    RunStart start;
    try {
        paths.createDirectories();
    } catch (const std::system_error& error) {
        start.refused = Refused::folders;
        start.reason =
            platform_words::cannotCreateFolder(paths.applicationSupport()) + error.code().message();
        return start;
    }
    auto instance = InstanceLock::acquire(paths.support(), bundle);
    start.lock = std::move(instance.lock);
    if (!start.lock) {
        start.refused = instance.problem.empty() ? Refused::anotherInstance : Refused::lock;
        start.reason = instance.problem;
    }
    // Where the reopen socket goes. Without it a second start finds no one to ask, which it
    // survives, so the run goes on.
    if (start.refused != Refused::lock && preparePrivateFolder(paths.runtime()).empty()) {
        start.socket = paths.reopenSocket();
    }
    return start;
}

}  // namespace vantrel
