#include "app/headless_app.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/application_parts.h"
#include "app/headless_handover.h"
#include "app/journal_line_policy.h"
#include "app/line_printer.h"
#include "app/run_start.h"
#include "app/state_journal.h"
#include "support/bundle.h"
#include "support/ending_signals.h"
#include "support/run_loop.h"
#include "support/service_manager.h"

namespace vantrel {
namespace {

// Standard error's messages, marked with their priority when the journal takes them.
class Complaints {
  public:
    explicit Complaints(const std::string& journalStream)
        : journal_(isJournalStream(STDERR_FILENO, journalStream)) {}

    void say(Priority priority, const std::string& text) {
        errors_.print(journal_ ? withPriority(priority, text) : text);
    }

  private:
    const bool journal_;
    // The same bounded way as the state lines: a reader that never reads holds up neither the
    // start nor the quit.
    LinePrinter errors_{STDERR_FILENO};
};

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every state goes to the service manager's status line; standard output gets each line, or, when
// it is the journal, the lines its policy lets through. Each is given the state and its line.
using StateOutput = std::function<void(const AgentState&, const std::string&)>;

StateOutput stateOutput(LinePrinter& printer, ServiceNotifier& notifier,
                        const std::shared_ptr<TaskQueue>& mainLoop,
                        const std::string& journalStream) {
    if (!isJournalStream(STDOUT_FILENO, journalStream)) {
        return [&printer, &notifier](const AgentState&, const std::string& line) {
            printer.print(line);
            notifier.status(line);
        };
    }
    auto journal = StateJournal::create(
        mainLoop, steadySeconds, [&printer](const std::string& line) { printer.print(line); });
    return [journal, &notifier](const AgentState& state, const std::string& line) {
        journal->show(state);
        notifier.status(line);
    };
}

// Whether one of the signals waits, blocked, for this process.
bool anyPending(const sigset_t& signals) {
    sigset_t pending, both;
    if (sigpending(&pending) != 0) {
        return false;
    }
    sigandset(&both, &pending, &signals);
    return !sigisemptyset(&both);
}

// Says why a start cannot go on; its exit status.
int refuse(Complaints& complaints, const RunStart& start) {
    switch (start.refused) {
        case RunStart::Refused::folders:
            complaints.say(Priority::error, "Vantrel Agent cannot start\n" + start.reason);
            return 1;
        case RunStart::Refused::anotherInstance:
            complaints.say(Priority::error, "Vantrel Agent is already running.");
            return kExitAlreadyRunning;
        case RunStart::Refused::lock:
        case RunStart::Refused::nothing:
            break;
    }
    complaints.say(Priority::error, "Vantrel Agent " + start.reason);
    return 1;
}

}  // namespace

RunEnd runHeadless(const LaunchOptions&, const RunContext& context) {
    // Blocked before any thread starts, so that only the waiting thread below receives them.
    const sigset_t signals = signalSet(endingSignals());
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Complaints complaints(context.journalStream);

    auto start = RunStart::begin(context.paths, bundle::root());
    if (!start.lock) {
        return {refuse(complaints, start)};
    }
    auto mainLoop = std::make_shared<RunLoop>();
    LinePrinter printer(STDOUT_FILENO, LinePrinter::kLimit, mainLoop);
    ServiceNotifier notifier(context.notifySocket);
    // Signals and an installed update end the loop; the agent is stopped once it has ended.
    std::function<void()> quit = [mainLoop] { mainLoop->quit(); };
    bool updateAsked = false;
    auto parts = buildApplicationParts(context, mainLoop, [quit, &updateAsked] {
        updateAsked = true;
        quit();
    });
    auto& agent = parts.agent;
    // Only a stop that was asked for is announced: after an update the new version takes over
    // this process, and the manager must keep it.
    bool asked = false;
    auto askedQuit = [quit, &asked] {
        asked = true;
        quit();
    };
    // A desktop start finds this run here, learns its state and may ask it to quit.
    auto handover = HeadlessHandover::listen(start.socket, mainLoop, askedQuit, notifier.active());
    auto output = stateOutput(printer, notifier, mainLoop, context.journalStream);
    auto show = [output, handover = handover.get()](const AgentState& state) {
        const std::string line = state.menuText();
        output(state, line);
        if (handover) {
            handover->setState(line);
        }
    };
    show(agent->state());
    agent->setOnState(show);
    agent->setOnLaunched([&notifier] { notifier.ready(); });
    agent->start();

    auto& updater = parts.updater;
    // Standard output holds only the state lines; a failed check leaves its trace here.
    updater->reportAutomaticChecks([&complaints](const UpdateResult& result) {
        if (result.kind() == UpdateResult::Kind::failed) {
            complaints.say(Priority::warning,
                           "Vantrel Agent: the update check failed: " + result.text());
        }
    });
    if (context.build.isProduction()) {
        updater->startPeriodicChecks();
    }

    std::atomic<bool> waking = false;
    std::atomic<bool> signalled = false;
    std::thread waiter([&signals, &waking, &signalled, mainLoop, askedQuit] {
        int received = 0;
        sigwait(&signals, &received);
        if (!waking) {
            signalled = true;
            mainLoop->post(askedQuit);
        }
    });
    mainLoop->run();
    if (asked) {
        notifier.stopping();
    }
    agent->setOnState({});
    agent->setOnLaunched({});
    handover.reset();
    agent->stopAndWait();
    // A quit that the update asked for leaves the waiter in sigwait; this wakes it.
    waking = true;
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    // A stop asked for at any moment before here wins over the update: the new version is left
    // for the next start rather than run against the wish (and a service manager's timeout).
    asked = asked || signalled || anyPending(signals);
    return {0, updateAsked && !asked};
}

}  // namespace vantrel
