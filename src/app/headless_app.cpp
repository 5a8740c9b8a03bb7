#include "app/headless_app.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "app/application_parts.h"
#include "app/line_printer.h"
#include "support/build.h"
#include "support/instance_lock.h"
#include "support/paths.h"
#include "support/platform_words.h"
#include "support/run_loop.h"

namespace vantrel {
namespace {

sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // A closed terminal or an ended session: the agent must not be left behind.
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

int runHeadless(const LaunchOptions&) {
    // Blocked before any thread starts, so that only the waiting thread below receives them.
    sigset_t signals = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    auto instance = InstanceLock::acquire();
    if (!instance.lock) {
        std::fprintf(stderr, "Vantrel Agent %s\n",
                     instance.problem.empty() ? "is already running." : instance.problem.c_str());
        return 1;
    }
    try {
        Paths::createDirectories();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "Vantrel Agent cannot start\n%s%s\n",
                     platform_words::cannotCreateFolder().c_str(), error.code().message().c_str());
        return 1;
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
    updater->reportAutomaticChecks([](const UpdateResult& result) {
        if (result.kind() == UpdateResult::Kind::failed) {
            std::fprintf(stderr, "Vantrel Agent: the update check failed: %s\n",
                         result.text().c_str());
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
    agent->stop();
    agent->setOnState({});
    // A quit that the update asked for leaves the waiter in sigwait; this wakes it.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

}  // namespace vantrel
