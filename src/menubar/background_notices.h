#pragma once

#include <array>
#include <optional>
#include <string>

#include "agent/agent_state.h"

namespace vantrel {

// What happens in the background that a user who is not looking at the menu is told about.
enum class Notice { agentKeepsStopping, updateInstalled, networkWarning };

struct NoticeText {
    std::string summary;
    std::string body;
};

NoticeText noticeText(Notice notice);

// Follows the agent's states: a relaunch is a start after a stop; the third one in a row (no
// reading or waiting line between them) and each further one ask for the notice.
class RelaunchStreak {
  public:
    static constexpr int kNoticeAt = 3;

    // True when this state is such a relaunch.
    bool advance(const AgentState& state);

  private:
    int relaunches_ = 0;
    bool stopped_ = false;
};

// At most one notice of each kind within an hour, on the clock the caller reads.
class NoticeSpacing {
  public:
    static constexpr double kSpacingSeconds = 3600;

    // True, and counted, when a notice of this kind may be shown at `now` (seconds).
    bool admit(Notice notice, double now);

  private:
    std::array<std::optional<double>, 3> last_;
};

}  // namespace vantrel
