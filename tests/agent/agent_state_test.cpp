#include "agent/agent_state.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace std::string_literals;

// Equality in general is the fuzz target's; here the menu texts and the NUL.
TEST(AgentState, MenuTextOfEveryCase) {
    EXPECT_EQ(AgentState::reading("Solar 1 kW").menuText(), "Solar 1 kW");
    EXPECT_EQ(AgentState::stopped("exited 3").menuText(), "Stopped \u2014 exited 3");
    EXPECT_EQ(AgentState::starting().menuText(), "Starting\u2026");
    EXPECT_EQ(AgentState::waitingToPair().menuText(), "Waiting to be paired");
}

// U+0000 is a character like any other: what follows it still counts, with or without non-ASCII
// text around it.
TEST(AgentState, TextAfterANulStillCounts) {
    EXPECT_NE(AgentState::reading("caf\u00E9\0A"s), AgentState::reading("caf\u00E9\0B"s));
    EXPECT_NE(AgentState::reading("x\0A"s), AgentState::reading("x\0B"s));
    EXPECT_NE(AgentState::stopped("\u00E9"s), AgentState::stopped("\u00E9\0"s));
    EXPECT_EQ(AgentState::reading("\0caf\u00E9"s), AgentState::reading("\0cafe\u0301"s));
    EXPECT_NE(AgentState::reading("x"), AgentState::stopped("x"));
}

}  // namespace
}  // namespace vantrel
