#include <gtest/gtest.h>

#include "app/journal_line_policy.h"
#include "app/platform_choice.h"
#include "app/reopen_request.h"
#include "app/running_instance_notice.h"
#include "app/state_journal.h"
#include "support/manual_queue.h"

namespace vantrel::testing {
namespace {

// The answer's line as the running instance writes it, and what the start makes of it; "-" for no
// answer it understands.
TEST(HeadlessHandoverTest, AnswersReadBackAsTheyWereMeant) {
    const std::pair<std::string, std::string> cases[] = {
        {"ok\n", "desktop|"},
        {handoverAnswer(RunningInstance::service, "Solar 1 kW"), "service|Solar 1 kW"},
        {handoverAnswer(RunningInstance::headless, "Stopped\n\u2014 exited 1"),
         "headless|Stopped \u2014 exited 1"},
        {handoverAnswer(RunningInstance::headless, ""), "headless|"},
        {"ok", "-"},
        {"okay\n", "-"},
    };
    for (const auto& [reply, expected] : cases) {
        const char* kinds[] = {"desktop|", "headless|", "service|"};
        auto answer = parseHandoverAnswer(reply);
        EXPECT_EQ(answer ? kinds[static_cast<int>(answer->instance)] + answer->state : "-",
                  expected)
            << reply;
    }
}

// Each kind of instance found: what the window says first, and whether it offers to quit it.
TEST(RunningInstanceNoticeTest, SaysWhatRunsHowToStopItAndOffersAQuitOnlyWhereOneIsTaken) {
    const std::tuple<std::optional<HandoverAnswer>, std::string, std::string, bool> cases[] = {
        {HandoverAnswer{RunningInstance::service, "Solar 1 kW"}, "Vantrel Agent runs as a service.",
         "systemctl --user stop vantrel-agent", true},
        {HandoverAnswer{RunningInstance::headless, "Solar 1 kW"},
         "Vantrel Agent runs without a window.", "SIGTERM", true},
        {std::nullopt, "Vantrel Agent is already running.", "did not answer", false},
    };
    for (const auto& [answer, text, stopping, offersQuit] : cases) {
        SCOPED_TRACE(text);
        auto notice = runningInstanceNotice(answer);
        EXPECT_EQ(notice.text, text);
        EXPECT_NE(notice.details.find(stopping), std::string::npos) << notice.details;
        EXPECT_TRUE(!answer || notice.details.starts_with(answer->state + "\n"))
            << "expected the state line first: " << notice.details;
        EXPECT_EQ(notice.offersQuit, offersQuit);
    }
}

// At each virtual time: the state that arrives (none: only the clock moves), and the lines the
// journal gets from the previous step up to then.
TEST(StateJournalTest, WritesEachChangeOfKindAtOnceAndAReadingsNewValueAtMostOnceAMinute) {
    const auto reading = &AgentState::reading;
    const std::tuple<double, std::optional<AgentState>, std::vector<std::string>> steps[] = {
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
    for (const auto& [at, state, lines] : steps) {
        SCOPED_TRACE("at " + std::to_string(at));
        queue->advance(at - queue->now());
        if (state) {
            journal->show(*state);
            queue->runDue();
        }
        EXPECT_EQ(written, lines);
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

// The toolkit is always offered a platform that needs no display last, so that it never aborts.
TEST(PlatformChoiceTest, TheListEndsWithAPlatformThatNeedsNoDisplay) {
    const std::tuple<const char*, bool, bool, const char*> cases[] = {
        {"", true, true, "wayland;xcb;minimal"},
        {"", true, false, "wayland;minimal"},
        {"", false, true, "xcb;minimal"},
        {"xcb", true, true, "xcb;minimal"},
        {"wayland;minimal", true, false, "wayland;minimal"},
    };
    for (const auto& [asked, wayland, x11, list] : cases) {
        EXPECT_EQ(platform_choice::toTry(asked, wayland, x11), list)
            << "asked '" << asked << "' wayland " << wayland << " x11 " << x11;
    }
}

// Ending on the platform that needs no display means none opened, unless that one was asked for.
TEST(PlatformChoiceTest, OnlyAnUnaskedEndMeansNoDisplayOpened) {
    const std::tuple<const char*, const char*, bool> ends[] = {
        {"", "minimal", true},           {"xcb", "minimal", true},
        {"minimal", "minimal", false},   {"xcb;minimal", "minimal", false},
        {"minimalist", "minimal", true},
    };
    for (const auto& [asked, settled, none] : ends) {
        EXPECT_EQ(platform_choice::noneStarted(asked, settled), none)
            << "asked '" << asked << "', settled on " << settled;
    }
}

}  // namespace
}  // namespace vantrel::testing
