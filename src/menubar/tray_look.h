#pragma once

#include <string>

#include "agent/agent_state.h"

namespace vantrel {

// What the tray icon shows: an icon of the theme, by name, for the agent's state, and the state
// line as its tooltip.
struct TrayLook {
    std::string iconName;
    std::string toolTip;

    friend bool operator==(const TrayLook&, const TrayLook&) = default;
};

// A stopped agent outweighs the local-network warning, which outweighs waiting to be paired.
TrayLook trayLook(const AgentState& state, bool warningShown);

}  // namespace vantrel
