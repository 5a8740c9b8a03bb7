#include <gtest/gtest.h>

#include "menubar/background_notices.h"
#include "menubar/keep_awake_route.h"
#include "menubar/tray_look.h"

namespace vantrel {
namespace {

// The icon tells the state, the worst first: stopped, then the network warning, then waiting to
// be paired; the tooltip is the state line.
TEST(TrayLookTest, TheIconTellsTheWorstStateAndTheTooltipIsTheStateLine) {
    const std::tuple<AgentState, bool, const char*> cases[] = {
        {AgentState::reading("Solar 2.5 kW"), false, "vantrel-agent-symbolic"},
        {AgentState::starting(), false, "vantrel-agent-symbolic"},
        {AgentState::waitingToPair(), false, "vantrel-agent-waiting-symbolic"},
        {AgentState::stopped("exited 3"), false, "vantrel-agent-stopped-symbolic"},
        {AgentState::reading("Solar 2.5 kW"), true, "vantrel-agent-warning-symbolic"},
        {AgentState::waitingToPair(), true, "vantrel-agent-warning-symbolic"},
        {AgentState::stopped("exited 3"), true, "vantrel-agent-stopped-symbolic"},
    };
    for (const auto& [state, warning, icon] : cases) {
        SCOPED_TRACE(state.menuText() + (warning ? " with the warning" : ""));
        EXPECT_EQ(trayLook(state, warning), (TrayLook{icon, state.menuText()}));
    }
}

// Only errors that say no portal offers the call send keep-awake to the login manager; any other
// error is the portal's refusal.
TEST(PortalAnswerTest, OnlyAMissingPortalFallsBackAndEveryOtherErrorIsARefusal) {
    const std::pair<const char*, PortalAnswer> cases[] = {
        {"", PortalAnswer::held},
        {"org.freedesktop.DBus.Error.ServiceUnknown", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.UnknownMethod", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.UnknownInterface", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.UnknownObject", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.Disconnected", PortalAnswer::absent},
        {"org.freedesktop.DBus.Error.AccessDenied", PortalAnswer::refused},
        {"org.freedesktop.DBus.Error.NoReply", PortalAnswer::refused},
        {"org.freedesktop.portal.Error.NotAllowed", PortalAnswer::refused},
        {"org.freedesktop.DBus.Error.ServiceUnknownX", PortalAnswer::refused},
    };
    for (const auto& [error, answer] : cases) {
        SCOPED_TRACE(error);
        EXPECT_EQ(portalAnswer(error), answer);
    }
}

// A relaunch is a start after a stop; from the third in a row on each one asks for the notice. A
// reading or a waiting line between them ends the streak; the first start is no relaunch.
TEST(RelaunchStreakTest, TheThirdRelaunchInARowAsksForTheNotice) {
    const auto start = AgentState::starting();
    const auto stop = AgentState::stopped("exited 1");
    const auto read = AgentState::reading("Solar 1 kW");
    const auto wait = AgentState::waitingToPair();
    struct Case {
        const char* name;
        std::vector<AgentState> states;
        std::vector<bool> asks;
    };
    const Case cases[] = {
        {"first start, then three relaunches",
         {start, stop, start, stop, start, stop, start},
         {false, false, false, false, false, false, true}},
        {"a fourth asks again",
         {stop, start, stop, start, stop, start, stop, start},
         {false, false, false, false, false, true, false, true}},
        {"a reading ends the streak",
         {stop, start, stop, start, read, stop, start, stop, start},
         {false, false, false, false, false, false, false, false, false}},
        {"a waiting line ends it too",
         {stop, start, stop, start, wait, stop, start},
         {false, false, false, false, false, false, false}},
        {"starts without a stop between are no relaunches",
         {stop, start, start, start, start},
         {false, false, false, false, false}},
        {"two stops are one",
         {stop, stop, start, stop, start, stop, stop, start},
         {false, false, false, false, false, false, false, true}},
    };
    for (const auto& [name, states, asks] : cases) {
        SCOPED_TRACE(name);
        RelaunchStreak streak;
        std::vector<bool> seen;
        for (const auto& state : states) {
            seen.push_back(streak.advance(state));
        }
        EXPECT_EQ(seen, asks);
    }
}

// At most one notice of each kind within an hour on the caller's clock; kinds do not hold each
// other back.
TEST(NoticeSpacingTest, OneNoticeOfEachKindPerHour) {
    const std::tuple<double, Notice, bool> steps[] = {
        {0, Notice::agentKeepsStopping, true},       {10, Notice::agentKeepsStopping, false},
        {10, Notice::updateInstalled, true},         {20, Notice::networkWarning, true},
        {3599.9, Notice::agentKeepsStopping, false}, {3600, Notice::agentKeepsStopping, true},
        {3610, Notice::updateInstalled, true},       {3620, Notice::networkWarning, true},
        {7199, Notice::agentKeepsStopping, false},
    };
    NoticeSpacing spacing;
    for (const auto& [now, notice, admitted] : steps) {
        SCOPED_TRACE("notice " + std::to_string(static_cast<int>(notice)) + " at " +
                     std::to_string(now));
        EXPECT_EQ(spacing.admit(notice, now), admitted);
    }
}

}  // namespace
}  // namespace vantrel
