#include "setup/setup_loading.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Event = SetupLoadEvent;
using Effect = SetupLoadEffect;

SetupLoading at(int attempts, bool requested = false, bool timedOut = false) {
    return {attempts, requested, timedOut};
}

TEST(SetupLoadingTest, RetriesFailedLoadsWithinTheBudget) {
    struct Row {
        const char* what;
        SetupLoading given;
        Event event;
        SetupLoading expected;
        Effect effect;
    };
    const Row rows[] = {
        {"a failure before any page retries", at(0), Event::failedBeforePage, at(1),
         Effect::scheduleRetry},
        {"the 40th retry is still scheduled", at(39), Event::failedBeforePage, at(40),
         Effect::scheduleRetry},
        {"the 41st failure schedules nothing", at(40), Event::failedBeforePage, at(40),
         Effect::none},
        {"a finished page restores the budget", at(40), Event::finished, at(0), Effect::none},
        {"showing a closed window again restores it", at(40), Event::shownAgain, at(0),
         Effect::none},
        {"the time-out runs once the engine begins the requested load", at(3, true), Event::started,
         at(3), Effect::startTimeout},
        {"a load the window did not ask for has none", at(3), Event::started, at(3), Effect::none},
        {"a load that runs out of time is stopped", at(3), Event::timedOut, at(3, false, true),
         Effect::stopLoading},
        {"and its end counts as a failure", at(3, false, true), Event::stopped, at(4),
         Effect::scheduleRetry},
        {"even when the budget is spent it is not counted again", at(40, false, true),
         Event::stopped, at(40), Effect::none},
        {"a stop of its own (a refused link) is no failure", at(3), Event::stopped, at(3),
         Effect::none},
        {"a new request forgets an old time-out", at(3, false, true), Event::requested, at(3, true),
         Effect::none},
        {"a page that arrives after the time-out still counts", at(3, false, true), Event::finished,
         at(0), Effect::none},
    };
    for (const auto& row : rows) {
        const auto [next, effect] = advance(row.given, row.event);
        EXPECT_EQ(next, row.expected) << row.what;
        EXPECT_EQ(effect, row.effect) << row.what;
    }
}

}  // namespace
}  // namespace vantrel
