#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/journal_line_policy.h"
#include "app/state_journal.h"
#include "support/manual_queue.h"

namespace vantrel::testing {
namespace {

AgentState reading(const std::string& label) {
    return AgentState::reading(label);
}

// At each virtual time: the state that arrives (none: only the clock moves), and the lines the
// journal gets from the previous step up to then.
struct Step {
    double at;
    std::optional<AgentState> state;
    std::vector<std::string> written;
};

TEST(StateJournalTest, WritesEachChangeOfKindAtOnceAndAReadingsNewValueAtMostOnceAMinute) {
    const std::vector<Step> steps = {
        {0, AgentState::starting(), {"<6>Starting\u2026"}},
        {1, reading("Solar 1 kW"), {"<6>Solar 1 kW"}},
        {2, reading("Solar 2 kW"), {}},
        {30, reading("Solar 3 kW"), {}},
        {60.5, std::nullopt, {}},
        // A minute after the last reading written, the latest value held back.
        {61, std::nullopt, {"<6>Solar 3 kW"}},
        {62, AgentState::waitingToPair(), {"<6>Waiting to be paired"}},
        {63, reading("Solar 4 kW"), {"<6>Solar 4 kW"}},
        {64, reading("Solar 5 kW"), {}},
        // A stop is a failure; the value held back is out of date once it comes.
        {65, AgentState::stopped("exited 1"), {"<4>Stopped \u2014 exited 1"}},
        {200, std::nullopt, {}},
        {201, reading("Solar 6 kW"), {"<6>Solar 6 kW"}},
        {262, reading("Solar 7 kW"), {"<6>Solar 7 kW"}},
        {263, reading("Solar 8 kW"), {}},
        {300, AgentState::starting(), {"<6>Starting\u2026"}},
        {400, std::nullopt, {}},
    };
    auto queue = std::make_shared<ManualQueue>();
    std::vector<std::string> written;
    auto journal = StateJournal::create(
        queue, [&queue] { return queue->now(); },
        [&written](const std::string& line) { written.push_back(line); });
    for (const auto& step : steps) {
        SCOPED_TRACE("at " + std::to_string(step.at));
        queue->advance(step.at - queue->now());
        if (step.state) {
            journal->show(*step.state);
            queue->runDue();
        }
        EXPECT_EQ(written, step.written);
        written.clear();
    }
}

TEST(StateJournalTest, EveryLineOfAMessageCarriesItsPriority) {
    const std::tuple<Priority, std::string, std::string> cases[] = {
        {Priority::info, "Solar 1 kW", "<6>Solar 1 kW"},
        {Priority::error, "cannot start\nno room", "<3>cannot start\n<3>no room"},
        {Priority::warning, "check failed\n", "<4>check failed"},
        {Priority::warning, "", "<4>"},
    };
    for (const auto& [priority, text, expected] : cases) {
        EXPECT_EQ(withPriority(priority, text), expected) << text;
    }
}

}  // namespace
}  // namespace vantrel::testing
