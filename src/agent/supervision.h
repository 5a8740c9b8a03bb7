#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "agent/agent_state.h"

// The supervisor's lifecycle as a value: what the owner wants, what the child is doing, and the
// wait before the next relaunch. `advance` maps a state and an event to the next state and what
// to do; AgentProcess carries that out and feeds back what happened.
namespace vantrel::supervision {

inline constexpr double kFirstDelay = 1.0;
inline constexpr double kLongestDelay = 60.0;

enum class Phase {
    idle,     // no child, and none until the owner asks
    reaping,  // ending an agent that an earlier run left, before the first launch
    running,  // a child runs
    ending,   // the child was asked to end and has not yet
    waiting,  // the child ended or could not start; a relaunch is due after the wait
};

struct State {
    Phase phase = Phase::idle;
    bool wanted = false;         // whether the owner wants an agent running
    double delay = kFirstDelay;  // the wait before the next relaunch
    std::uint64_t child = 0;     // the latest child's number; events of earlier ones are stale
    std::uint64_t wait = 0;      // the latest relaunch wait's number; earlier ones are stale

    bool operator==(const State&) const = default;
};

enum class EventKind {
    start,
    stop,
    restartNow,
    reaped,        // the earlier run's agent is gone
    launched,      // child `number` started
    launchFailed,  // child `number` could not start, for `reason`
    exited,        // child `number` ended, as `reason` says ("exited 15")
    relaunchDue,   // wait `number` is over
    graceOver,     // child `number` had its time to end after being asked to
    statusSeen,    // child `number` wrote a status or waiting line meaning `seen`
};

struct Event {
    Event(EventKind kind, std::uint64_t number = 0, std::string reason = {},
          std::optional<AgentState> seen = {})
        : kind(kind), number(number), reason(std::move(reason)), seen(std::move(seen)) {}

    EventKind kind;
    std::uint64_t number = 0;
    std::string reason;
    std::optional<AgentState> seen;
};

enum class Action : unsigned {
    forgetPid = 1,  // remove the pid file: the child ended under supervision
    reap = 2,       // end an earlier run's agent off the caller's thread, then `reaped`
    kill = 4,       // SIGKILL to the current child
    terminate = 8,  // SIGTERM to the current child, then `graceOver` after the grace
    launch = 16,    // start child `next.child`, then `launched` or `launchFailed`
};

// A set of actions, carried out in the order of their values.
class Actions {
  public:
    Actions() = default;
    Actions(std::initializer_list<Action> actions) {
        for (Action action : actions) {
            bits_ |= static_cast<unsigned>(action);
        }
    }
    bool has(Action action) const { return (bits_ & static_cast<unsigned>(action)) != 0; }
    bool operator==(const Actions&) const = default;

  private:
    unsigned bits_ = 0;
};

struct Step {
    Step(State next, Actions actions = {}, std::optional<double> relaunchIn = {},
         std::optional<AgentState> show = {})
        : next(next),
          actions(actions),
          relaunchIn(relaunchIn),
          show(std::move(show)) {}

    State next;
    Actions actions;
    std::optional<double> relaunchIn;  // post `relaunchDue(next.wait)` after this many seconds
    std::optional<AgentState> show;    // the agent's state as the menu shows it from now on

    bool operator==(const Step&) const = default;
};

Step advance(const State& state, Event event);

}  // namespace vantrel::supervision
