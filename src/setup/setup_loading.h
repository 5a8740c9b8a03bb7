#pragma once

#include <cstdint>

namespace vantrel {

// The setup page's loads and their retry budget: the state, the events that move it and the one
// function that maps them. A period in which the agent cannot be reached costs at most 40
// reloads; every finished load and every re-show of a closed window restores the whole budget.
struct SetupLoading {
    static constexpr std::int64_t kRetryBudget = 40;
    static constexpr double kRetryDelaySeconds = 0.5;
    static constexpr double kLoadTimeoutSeconds = 60;

    std::int64_t attempts = 0;  // reloads scheduled after failed loads since the last reset
    bool requested = false;     // the window asked for the page; the engine has not begun yet
    bool timedOut = false;      // the load in progress ran out of time and is being stopped

    bool operator==(const SetupLoading&) const = default;
};

enum class SetupLoadEvent {
    requested,         // the window asked for the setup page
    started,           // the engine began a load
    timedOut,          // the requested load took longer than the time-out
    finished,          // a page arrived, an HTTP error page included
    failedBeforePage,  // no page came at all (as a rule, nothing listens yet)
    stopped,           // the engine ended the load without a page (a refused link, a stop)
    shownAgain,        // a closed window is shown again
};

// The time-out runs from the moment the engine begins the requested load, so that a load the
// engine has not yet begun is never stopped (a stop before the start is lost).
enum class SetupLoadEffect { none, startTimeout, stopLoading, scheduleRetry };

struct SetupLoadStep {
    SetupLoading next;
    SetupLoadEffect effect;
};

SetupLoadStep advance(SetupLoading state, SetupLoadEvent event);

}  // namespace vantrel
