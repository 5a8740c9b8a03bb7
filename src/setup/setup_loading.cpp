#include "setup/setup_loading.h"

namespace vantrel {
namespace {

SetupLoadStep retry(SetupLoading state) {
    state.requested = false;
    state.timedOut = false;
    if (state.attempts >= SetupLoading::kRetryBudget) {
        return {state, SetupLoadEffect::none};
    }
    ++state.attempts;
    return {state, SetupLoadEffect::scheduleRetry};
}

}  // namespace

SetupLoadStep advance(SetupLoading state, SetupLoadEvent event) {
    switch (event) {
        case SetupLoadEvent::requested:
            state.requested = true;
            state.timedOut = false;
            return {state, SetupLoadEffect::none};
        case SetupLoadEvent::started:
            if (!state.requested) {
                return {state, SetupLoadEffect::none};
            }
            state.requested = false;
            return {state, SetupLoadEffect::startTimeout};
        case SetupLoadEvent::timedOut:
            // Stopping the load ends it; that end then counts as a failure.
            state.timedOut = true;
            return {state, SetupLoadEffect::stopLoading};
        case SetupLoadEvent::finished:
            return {SetupLoading{}, SetupLoadEffect::none};
        case SetupLoadEvent::failedBeforePage:
            return retry(state);
        case SetupLoadEvent::stopped:
            if (state.timedOut) {
                return retry(state);
            }
            state.requested = false;
            return {state, SetupLoadEffect::none};
        case SetupLoadEvent::shownAgain:
            state.attempts = 0;
            return {state, SetupLoadEffect::none};
    }
    return {state, SetupLoadEffect::none};
}

}  // namespace vantrel
