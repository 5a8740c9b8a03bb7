#include <gtest/gtest.h>

#include <map>

#include "menubar/background_notices.h"
#include "menubar/keep_awake_route.h"
#include "menubar/tray_look.h"

namespace vantrel {
namespace {

// The worst state shows: stopped, then the network warning, then waiting to be paired (the two
// alone: the desktop's session test).
TEST(TrayLookTest, TheIconTellsTheWorstStateAndTheTooltipIsTheStateLine) {
    const auto reading = AgentState::reading("Solar 2.5 kW"), waiting = AgentState::waitingToPair(),
               stopped = AgentState::stopped("exited 3");
    const std::tuple<AgentState, bool, const char*> cases[] = {
        {reading, false, "vantrel-agent-symbolic"},
        {AgentState::starting(), false, "vantrel-agent-symbolic"},
        {reading, true, "vantrel-agent-warning-symbolic"},
        {waiting, true, "vantrel-agent-warning-symbolic"},
        {stopped, true, "vantrel-agent-stopped-symbolic"},
    };
    for (const auto& [state, warning, icon] : cases) {
        SCOPED_TRACE(state.menuText() + (warning ? " with the warning" : ""));
        EXPECT_EQ(trayLook(state, warning), (TrayLook{icon, state.menuText()}));
    }
}

// Only errors that say no portal offers the call send keep-awake to the login manager.
TEST(PortalAnswerTest, OnlyAMissingPortalFallsBackAndEveryOtherErrorIsARefusal) {
    EXPECT_EQ(portalAnswer(""), PortalAnswer::held);
    for (const char* error : {"ServiceUnknown", "NameHasNoOwner", "UnknownMethod",
                              "UnknownInterface", "UnknownObject", "Disconnected"}) {
        EXPECT_EQ(portalAnswer(std::string("org.freedesktop.DBus.Error.") + error),
                  PortalAnswer::absent)
            << error << " expected absent";
    }
    for (const char* error :
         {"org.freedesktop.DBus.Error.AccessDenied", "org.freedesktop.DBus.Error.NoReply",
          "org.freedesktop.portal.Error.NotAllowed",
          "org.freedesktop.DBus.Error.ServiceUnknownX"}) {
        EXPECT_EQ(portalAnswer(error), PortalAnswer::refused) << error << " expected refused";
    }
}

// States: s starting, x stopped, r reading, w waiting; asks: '!' where the state asks for the
// notice (the first after a start: the desktop's session test).
TEST(RelaunchStreakTest, TheThirdRelaunchInARowAsksForTheNotice) {
    const std::map<char, AgentState> states = {{'s', AgentState::starting()},
                                               {'x', AgentState::stopped("exited 1")},
                                               {'r', AgentState::reading("Solar 1 kW")},
                                               {'w', AgentState::waitingToPair()}};
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"a fourth asks again", "xsxsxsxs", ".....!.!"},
        {"a reading ends the streak", "xsxsrxsxs", "........."},
        {"a waiting line ends it too", "xsxswxs", "......."},
        {"starts without a stop between are no relaunches", "xssss", "....."},
        {"two stops are one", "xxsxsxxs", ".......!"},
    };
    for (const auto& [name, sequence, asks] : cases) {
        RelaunchStreak streak;
        std::string seen;
        for (char state : sequence) {
            seen += streak.advance(states.at(state)) ? '!' : '.';
        }
        EXPECT_EQ(seen, asks) << name << " (" << sequence << ")";
    }
}

// Kinds do not hold each other back.
TEST(NoticeSpacingTest, OneNoticeOfEachKindPerHour) {
    using enum Notice;
    const std::tuple<double, Notice, bool> steps[] = {
        {0, agentKeepsStopping, true},       {10, agentKeepsStopping, false},
        {10, updateInstalled, true},         {20, networkWarning, true},
        {3599.9, agentKeepsStopping, false}, {3600, agentKeepsStopping, true},
        {3610, updateInstalled, true},       {3620, networkWarning, true},
        {7199, agentKeepsStopping, false},
    };
    NoticeSpacing spacing;
    for (const auto& [now, notice, admitted] : steps) {
        EXPECT_EQ(spacing.admit(notice, now), admitted)
            << "notice " << static_cast<int>(notice) << " at " << now;
    }
}

}  // namespace
}  // namespace vantrel
