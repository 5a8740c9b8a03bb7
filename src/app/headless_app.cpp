#include "app/headless_app.h"

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "app/application_parts.h"
#include "app/line_printer.h"
#include "support/build.h"
#include "support/bundle.h"
#include "support/ending_signals.h"
#include "support/instance_lock.h"
#include "support/paths.h"
#include "support/platform_words.h"
#include "support/run_loop.h"

namespace vantrel {
namespace {

int startFailed(LinePrinter& errors, const std::string& text) {
    errors.print(text);
    return 1;
}

}  // namespace

int runHeadless(const LaunchOptions&) {
    // Blocked before any thread starts, so that only the waiting thread below receives them.
    const sigset_t signals = signalSet(endingSignals());
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // Standard error goes the same bounded way as the state lines: a reader that never reads
    // holds up neither the start nor the quit.
    LinePrinter errors(STDERR_FILENO);

    try {
        Paths::createDirectories();
    } catch (const std::system_error& error) {
        return startFailed(errors, "Vantrel Agent cannot start\n" +
                                       platform_words::cannotCreateFolder() +
                                       error.code().message());
    }

    auto instance = InstanceLock::acquire(Paths::support(), bundle::root());
    if (!instance.lock) {
        return startFailed(errors, "Vantrel Agent " + (instance.problem.empty()
                                                           ? std::string("is already running.")
                                                           : instance.problem));
    }
    LinePrinter printer(STDOUT_FILENO);
    auto mainLoop = std::make_shared<RunLoop>();
    // Signals and an installed update end the loop; the agent is stopped once it has ended.
    std::function<void()> quit = [mainLoop] { mainLoop->quit(); };
    auto parts = buildApplicationParts(mainLoop, quit);
    auto& agent = parts.agent;
    printer.print(agent->state().menuText());
    agent->setOnState([&printer](const AgentState& state) { printer.print(state.menuText()); });
    agent->start();

    auto& updater = parts.updater;
    // Standard output holds only the state lines; a failed check leaves its trace here.
    updater->reportAutomaticChecks([&errors](const UpdateResult& result) {
        if (result.kind() == UpdateResult::Kind::failed) {
            errors.print("Vantrel Agent: the update check failed: " + result.text());
        }
    });
    if (Build::isProduction()) {
        updater->startPeriodicChecks();
    }

    std::thread waiter([signals, mainLoop, quit] {
        int received = 0;
        sigwait(&signals, &received);
        mainLoop->post(quit);
    });
    mainLoop->run();
    agent->setOnState({});
    agent->stopAndWait();
    // A quit that the update asked for leaves the waiter in sigwait; this wakes it.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

}  // namespace vantrel
