#include <gtest/gtest.h>

#include <sstream>

#include "agent/supervision.h"

namespace vantrel::supervision {
namespace {

const char* name(Phase phase) {
    constexpr const char* kNames[] = {"idle", "reaping", "running", "ending", "waiting"};
    return kNames[static_cast<int>(phase)];
}

// Every field of a step in words, so that a failing row shows what it got beside what it expected.
std::string describe(const Step& step) {
    std::ostringstream text;
    const State& next = step.next;
    text << name(next.phase) << (next.wanted ? " wanted" : " unwanted") << " delay " << next.delay
         << " child " << next.child << " wait " << next.wait << " |";
    const std::pair<Action, const char*> actions[] = {{Action::forgetPid, " forgetPid"},
                                                      {Action::reap, " reap"},
                                                      {Action::kill, " kill"},
                                                      {Action::terminate, " terminate"},
                                                      {Action::launch, " launch"}};
    for (const auto& [action, word] : actions) {
        text << (step.actions.has(action) ? word : "");
    }
    if (step.relaunchIn) {
        text << " | relaunch in " << *step.relaunchIn;
    }
    if (step.show) {
        text << " | show " << step.show->menuText();
    }
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

TEST(Supervision, EachEventMovesTheLifecycleAsTheTableSays) {
    using enum Phase;
    using enum EventKind;
    const auto reading = AgentState::reading("Solar 1 kW");
    const Row rows[] = {
        {"a start reaps an earlier run's agent first",
         at(idle, false),
         {start},
         {at(reaping, true), {Action::reap}}},
        {"a start while running changes nothing", at(running, true), {start}, {at(running, true)}},
        {"a start while ending relaunches at the exit",
         at(ending, false),
         {start},
         {at(ending, true)}},
        {"the reap done, the next child is launched",
         at(reaping, true),
         {reaped},
         {at(running, true, 1, 2), {Action::launch}}},
        {"the reap done after a stop, nothing is launched",
         at(reaping, false),
         {reaped},
         {at(idle, false)}},
        {"a reap's end at any other time is ignored",
         at(running, true),
         {reaped},
         {at(running, true)}},
        {"a launch shows starting",
         at(running, true),
         {launched, 1},
         {at(running, true), {}, std::nullopt, AgentState::starting()}},
        {"a failed launch waits and doubles the wait",
         at(running, true, 4),
         {launchFailed, 1, "gone"},
         {at(waiting, true, 8, 1, 1), {}, 4.0, AgentState::stopped("gone")}},
        {"an exit waits, forgets the pid and doubles the wait",
         at(running, true, 16),
         {exited, 1, "exited 3"},
         {at(waiting, true, 32, 1, 1), {Action::forgetPid}, 16.0, AgentState::stopped("exited 3")}},
        {"the wait doubles to a minute at most",
         at(running, true, 32),
         {exited, 1, "exited 3"},
         {at(waiting, true, 60, 1, 1), {Action::forgetPid}, 32.0, AgentState::stopped("exited 3")}},
        {"a minute's wait stays a minute",
         at(running, true, 60),
         {exited, 1, "exited 0"},
         {at(waiting, true, 60, 1, 1), {Action::forgetPid}, 60.0, AgentState::stopped("exited 0")}},
        {"an earlier child's exit is ignored",
         at(running, true, 1, 2),
         {exited, 1, "exited 3"},
         {at(running, true, 1, 2)}},
        {"a stop asks the running agent to end",
         at(running, true),
         {stop},
         {at(ending, false), {Action::terminate}}},
        {"a stop during the wait cancels the relaunch",
         at(waiting, true, 4, 1, 1),
         {stop},
         {at(idle, false, 4, 1, 2)}},
        {"a second stop asks nothing more", at(ending, false), {stop}, {at(ending, false)}},
        {"a stop while reaping launches nothing after",
         at(reaping, true),
         {stop},
         {at(reaping, false)}},
        {"the grace over, an agent still there is killed",
         at(ending, false),
         {graceOver, 1},
         {at(ending, false), {Action::kill}}},
        {"an earlier child's grace does nothing",
         at(ending, false, 1, 2),
         {graceOver, 1},
         {at(ending, false, 1, 2)}},
        {"a grace over after the end does nothing",
         at(waiting, true, 2, 1, 1),
         {graceOver, 1},
         {at(waiting, true, 2, 1, 1)}},
        {"the end after a stop forgets the pid and keeps the state",
         at(ending, false),
         {exited, 1, "exited 15"},
         {at(idle, false), {Action::forgetPid}}},
        {"a restart of the running agent ends it first",
         at(running, true, 8),
         {restartNow},
         {at(ending, true, 1), {Action::terminate}}},
        {"the end after a restart relaunches a second later",
         at(ending, true, 1),
         {exited, 1, "exited 15"},
         {at(waiting, true, 2, 1, 1), {Action::forgetPid}, 1.0, AgentState::stopped("exited 15")}},
        {"a restart during the wait launches at once",
         at(waiting, true, 8, 1, 1),
         {restartNow},
         {at(running, true, 1, 2, 2), {Action::launch}}},
        {"a restart when stopped reaps and launches",
         at(idle, false, 8),
         {restartNow},
         {at(reaping, true, 1), {Action::reap}}},
        {"a restart while ending relaunches at the exit",
         at(ending, false, 8),
         {restartNow},
         {at(ending, true, 1)}},
        {"the relaunch that is due launches",
         at(waiting, true, 2, 1, 1),
         {relaunchDue, 1},
         {at(running, true, 2, 2, 1), {Action::launch}}},
        {"a relaunch of an earlier wait does nothing",
         at(waiting, true, 2, 1, 2),
         {relaunchDue, 1},
         {at(waiting, true, 2, 1, 2)}},
        {"a relaunch due while running does nothing",
         at(running, true, 2, 2, 1),
         {relaunchDue, 1},
         {at(running, true, 2, 2, 1)}},
        {"a status line shows the reading and brings the wait back to a second",
         at(running, true, 16),
         {statusSeen, 1, {}, reading},
         {at(running, true, 1), {}, std::nullopt, reading}},
        {"a waiting line shows waiting to be paired and keeps the wait",
         at(running, true, 16),
         {statusSeen, 1, {}, AgentState::waitingToPair()},
         {at(running, true, 16), {}, std::nullopt, AgentState::waitingToPair()}},
        {"an ending agent's status line still shows",
         at(ending, false, 4),
         {statusSeen, 1, {}, reading},
         {at(ending, false, 1), {}, std::nullopt, reading}},
        {"an earlier child's status line is ignored",
         at(running, true, 4, 2),
         {statusSeen, 1, {}, reading},
         {at(running, true, 4, 2)}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(describe(advance(row.from, row.event)), describe(row.expected))
            << "behaviour: " << row.behaviour;
    }
}

}  // namespace
}  // namespace vantrel::supervision
