#include <gtest/gtest.h>

#include <map>

#include "menubar/background_notices.h"
#include "menubar/keep_awake_route.h"

namespace vantrel {
namespace {

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

}  // namespace
}  // namespace vantrel
