#include <gtest/gtest.h>

#include <sstream>

#include "agent/supervision.h"

namespace vantrel::supervision {
namespace {

// Every field of a step in words, so that a failing row shows what it got beside what it expected.
std::string describe(const Step& step) {
    constexpr const char* kPhases[] = {"idle", "reaping", "running", "ending", "waiting"};
    const State& next = step.next;
    std::ostringstream text;
    text << kPhases[static_cast<int>(next.phase)] << (next.wanted ? " wanted" : " unwanted")
         << " delay " << next.delay << " child " << next.child << " wait " << next.wait << " |";
    const char* kActions[] = {" forgetPid", " reap", " kill", " terminate", " launch"};
    for (unsigned bit = 0; bit < 5; ++bit) {
        text << (step.actions.has(static_cast<Action>(1u << bit)) ? kActions[bit] : "");
    }
    text << " | relaunch in " << step.relaunchIn.value_or(-1) << " | show "
         << (step.show ? step.show->menuText() : "-");
    return text.str();
}

State at(Phase phase, bool wanted, double delay = 1, std::uint64_t child = 1,
         std::uint64_t wait = 0) {
    return {phase, wanted, delay, child, wait};
}

struct Row {
    const char* behaviour;
    State from;
    Event event;
    Step expected;
};

Row row(const char* behaviour, State from, Event event, State next, Actions actions = {},
        std::optional<double> relaunchIn = {}, std::optional<AgentState> show = {}) {
    return {behaviour, from, std::move(event), {next, actions, relaunchIn, std::move(show)}};
}

// The path every run takes (reap, launch, a status line, an exit, a stop, a failed launch) is the
// process tests'; these rows hold the rest.
TEST(Supervision, EachEventMovesTheLifecycleAsTheTableSays) {
    using enum Phase;
    using enum EventKind;
    const auto reading = AgentState::reading("Solar 1 kW");
    const Row rows[] = {
        row("a start while running changes nothing", at(running, true), start, at(running, true)),
        row("a start while ending relaunches at the exit", at(ending, false), start,
            at(ending, true)),
        row("the reap done after a stop, nothing is launched", at(reaping, false), reaped,
            at(idle, false)),
        row("a reap's end at any other time is ignored", at(running, true), reaped,
            at(running, true)),
        row("a launch shows starting", at(running, true), Event(launched, 1), at(running, true), {},
            {}, AgentState::starting()),
        row("an earlier child's exit is ignored", at(running, true, 1, 2),
            Event(exited, 1, "exited 3"), at(running, true, 1, 2)),
        row("a stop during the wait cancels the relaunch", at(waiting, true, 4, 1, 1), stop,
            at(idle, false, 4, 1, 2)),
        row("a second stop asks nothing more", at(ending, false), stop, at(ending, false)),
        row("a stop while reaping launches nothing after", at(reaping, true), stop,
            at(reaping, false)),
        row("the grace over, an agent still there is killed", at(ending, false),
            Event(graceOver, 1), at(ending, false), {Action::kill}),
        row("an earlier child's grace does nothing", at(ending, false, 1, 2), Event(graceOver, 1),
            at(ending, false, 1, 2)),
        row("a grace over after the end does nothing", at(waiting, true, 2, 1, 1),
            Event(graceOver, 1), at(waiting, true, 2, 1, 1)),
        row("the end after a stop forgets the pid and keeps the state", at(ending, false),
            Event(exited, 1, "exited 15"), at(idle, false), {Action::forgetPid}),
        row("a restart of the running agent ends it first", at(running, true, 8), restartNow,
            at(ending, true, 1), {Action::terminate}),
        row("a restart during the wait launches at once", at(waiting, true, 8, 1, 1), restartNow,
            at(running, true, 1, 2, 2), {Action::launch}),
        row("a restart when stopped reaps and launches", at(idle, false, 8), restartNow,
            at(reaping, true, 1), {Action::reap}),
        row("a restart while ending relaunches at the exit", at(ending, false, 8), restartNow,
            at(ending, true, 1)),
        row("a relaunch of an earlier wait does nothing", at(waiting, true, 2, 1, 2),
            Event(relaunchDue, 1), at(waiting, true, 2, 1, 2)),
        row("a waiting line shows waiting to be paired and keeps the wait", at(running, true, 16),
            Event(statusSeen, 1, {}, AgentState::waitingToPair()), at(running, true, 16), {}, {},
            AgentState::waitingToPair()),
        row("an ending agent's status line still shows", at(ending, false, 4),
            Event(statusSeen, 1, {}, reading), at(ending, false, 1), {}, {}, reading),
        row("an earlier child's status line is ignored", at(running, true, 4, 2),
            Event(statusSeen, 1, {}, reading), at(running, true, 4, 2)),
    };
    for (const auto& row : rows) {
        EXPECT_EQ(describe(advance(row.from, row.event)), describe(row.expected))
            << "behaviour: " << row.behaviour;
    }
}

}  // namespace
}  // namespace vantrel::supervision
