#include "setup/setup_loading.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Event = SetupLoadEvent;
using Effect = SetupLoadEffect;

TEST(SetupLoadingTest, RetriesFailedLoadsWithinTheBudget) {
    struct Row {
        const char* what;
        SetupLoading given;
        Event event;
        SetupLoading expected;
        Effect effect;
    };
    const Row rows[] = {
        {"a failure before any page retries",
         {0, false, false},
         Event::failedBeforePage,
         {1, false, false},
         Effect::scheduleRetry},
        {"the 40th retry is still scheduled",
         {39, false, false},
         Event::failedBeforePage,
         {40, false, false},
         Effect::scheduleRetry},
        {"the 41st failure schedules nothing",
         {40, false, false},
         Event::failedBeforePage,
         {40, false, false},
         Effect::none},
        {"a finished page restores the budget",
         {40, false, false},
         Event::finished,
         {0, false, false},
         Effect::none},
        {"showing a closed window again restores it",
         {40, false, false},
         Event::shownAgain,
         {0, false, false},
         Effect::none},
        {"the time-out runs once the engine begins the requested load",
         {3, true, false},
         Event::started,
         {3, false, false},
         Effect::startTimeout},
        {"a load the window did not ask for has none",
         {3, false, false},
         Event::started,
         {3, false, false},
         Effect::none},
        {"a load that runs out of time is stopped",
         {3, false, false},
         Event::timedOut,
         {3, false, true},
         Effect::stopLoading},
        {"and its end counts as a failure",
         {3, false, true},
         Event::stopped,
         {4, false, false},
         Effect::scheduleRetry},
        {"even when the budget is spent it is not counted again",
         {40, false, true},
         Event::stopped,
         {40, false, false},
         Effect::none},
        {"a stop of its own (a refused link) is no failure",
         {3, false, false},
         Event::stopped,
         {3, false, false},
         Effect::none},
        {"a new request forgets an old time-out",
         {3, false, true},
         Event::requested,
         {3, true, false},
         Effect::none},
        {"a page that arrives after the time-out still counts",
         {3, false, true},
         Event::finished,
         {0, false, false},
         Effect::none},
    };
    for (const auto& row : rows) {
        const auto [next, effect] = advance(row.given, row.event);
        EXPECT_EQ(next, row.expected) << row.what;
        EXPECT_EQ(effect, row.effect) << row.what;
    }
}

}  // namespace
}  // namespace vantrel
