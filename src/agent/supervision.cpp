#include "agent/supervision.h"

#include <algorithm>

namespace vantrel::supervision {
namespace {

Step launchNext(State state) {
    state.phase = Phase::running;
    ++state.child;
    return {state, {Action::launch}};
}

// The child is gone or never started: wait, doubling the next wait up to the longest.
Step waitToRelaunch(State state, const std::string& reason, Actions actions = {}) {
    state.phase = Phase::waiting;
    ++state.wait;
    double delay = state.delay;
    state.delay = std::min(2 * delay, kLongestDelay);
    return {state, actions, delay, AgentState::stopped(reason)};
}

bool isCurrentChild(const State& state, const Event& event) {
    return event.number == state.child &&
           (state.phase == Phase::running || state.phase == Phase::ending);
}

Step onStart(State state) {
    state.wanted = true;
    if (state.phase == Phase::idle) {
        state.phase = Phase::reaping;
        return {state, {Action::reap}};
    }
    return {state};
}

Step onStop(State state) {
    state.wanted = false;
    if (state.phase == Phase::running) {
        state.phase = Phase::ending;
        return {state, {Action::terminate}};
    }
    if (state.phase == Phase::waiting) {
        state.phase = Phase::idle;
        ++state.wait;
    }
    return {state};
}

// An ending child is relaunched through its exit; a reap in progress launches when done.
Step onRestartNow(State state) {
    state.delay = kFirstDelay;
    switch (state.phase) {
        case Phase::idle:
            return onStart(state);
        case Phase::running:
            state.wanted = true;
            state.phase = Phase::ending;
            return {state, {Action::terminate}};
        case Phase::waiting:
            ++state.wait;
            return launchNext(state);
        case Phase::reaping:
        case Phase::ending:
            state.wanted = true;
            return {state};
    }
    return {state};
}

Step onReaped(State state) {
    if (state.phase != Phase::reaping) {
        return {state};
    }
    if (!state.wanted) {
        state.phase = Phase::idle;
        return {state};
    }
    return launchNext(state);
}

Step onLaunchFailed(State state, const Event& event) {
    if (!isCurrentChild(state, event)) {
        return {state};
    }
    if (state.wanted) {
        return waitToRelaunch(state, event.reason);
    }
    state.phase = Phase::idle;
    return {state};
}

Step onExited(State state, const Event& event) {
    if (!isCurrentChild(state, event)) {
        return {state};
    }
    if (state.wanted) {
        return waitToRelaunch(state, event.reason, {Action::forgetPid});
    }
    state.phase = Phase::idle;
    return {state, {Action::forgetPid}};
}

Step onStatusSeen(State state, Event event) {
    if (!isCurrentChild(state, event) || !event.seen) {
        return {state};
    }
    if (event.seen->kind() == AgentState::Kind::reading) {
        state.delay = kFirstDelay;
    }
    return {state, {}, std::nullopt, std::move(event.seen)};
}

}  // namespace

Step advance(const State& state, Event event) {
    switch (event.kind) {
        case EventKind::start:
            return onStart(state);
        case EventKind::stop:
            return onStop(state);
        case EventKind::restartNow:
            return onRestartNow(state);
        case EventKind::reaped:
            return onReaped(state);
        case EventKind::launched:
            return {state,
                    {},
                    std::nullopt,
                    isCurrentChild(state, event) ? std::optional(AgentState::starting())
                                                 : std::nullopt};
        case EventKind::launchFailed:
            return onLaunchFailed(state, event);
        case EventKind::exited:
            return onExited(state, event);
        case EventKind::relaunchDue:
            if (state.phase == Phase::waiting && event.number == state.wait && state.wanted) {
                return launchNext(state);
            }
            return {state};
        case EventKind::graceOver:
            if (state.phase == Phase::ending && event.number == state.child) {
                return {state, {Action::kill}};
            }
            return {state};
        case EventKind::statusSeen:
            return onStatusSeen(state, std::move(event));
    }
    return {state};
}

}  // namespace vantrel::supervision
