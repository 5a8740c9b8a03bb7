#include "menubar/background_notices.h"

#include <utility>

namespace vantrel {

NoticeText noticeText(Notice notice) {
    switch (notice) {
        case Notice::agentKeepsStopping:
            return {"Vantrel Agent keeps stopping",
                    "The agent stopped again and is being restarted. Show log in the menu has "
                    "the details."};
        case Notice::updateInstalled:
            return {"Vantrel Agent was updated", "The new version starts now."};
        case Notice::networkWarning:
            return {"Local network access looks blocked",
                    "Vantrel Agent may not reach your solar devices. The menu's warning line "
                    "opens the network settings."};
    }
    return {};
}

bool RelaunchStreak::advance(const AgentState& state) {
    switch (state.kind()) {
        case AgentState::Kind::stopped:
            stopped_ = true;
            return false;
        case AgentState::Kind::starting:
            if (!std::exchange(stopped_, false)) {
                return false;
            }
            return ++relaunches_ >= kNoticeAt;
        case AgentState::Kind::reading:
        case AgentState::Kind::waitingToPair:
            relaunches_ = 0;
            stopped_ = false;
            return false;
    }
    return false;
}

bool NoticeSpacing::admit(Notice notice, double now) {
    auto& last = last_.at(static_cast<std::size_t>(notice));
    if (last && now - *last < kSpacingSeconds) {
        return false;
    }
    last = now;
    return true;
}

}  // namespace vantrel
