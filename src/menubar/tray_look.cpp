#include "menubar/tray_look.h"

namespace vantrel {
namespace {

const char* iconFor(AgentState::Kind kind, bool warningShown) {
    if (kind == AgentState::Kind::stopped) {
        return "vantrel-agent-stopped-symbolic";
    }
    if (warningShown) {
        return "vantrel-agent-warning-symbolic";
    }
    if (kind == AgentState::Kind::waitingToPair) {
        return "vantrel-agent-waiting-symbolic";
    }
    return "vantrel-agent-symbolic";
}

}  // namespace

TrayLook trayLook(const AgentState& state, bool warningShown) {
    return {iconFor(state.kind(), warningShown), state.menuText()};
}

}  // namespace vantrel
