#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "agent/agent_state.h"

namespace vantrel {

// Syslog priorities, as the journal reads them from a "<N>" line prefix.
enum class Priority { error = 3, warning = 4, info = 6 };

// Every line of `text` (a message may span several) with the prefix of `priority`; a final
// newline is left off, as the caller ends the whole.
std::string withPriority(Priority priority, std::string_view text);

// Which state lines the journal gets. A change of kind (starting, waiting to be paired, a
// reading, stopped) is written at once; a reading that only changes its value is held back until
// a minute has passed since the last reading written, so a service's journal keeps the story
// without a line per reading. Times are seconds on any steady clock.
class JournalLinePolicy {
  public:
    struct Line {
        Priority priority;
        std::string text;
    };

    static constexpr double kReadingGap = 60;

    // The line to write now for a new state, or none while it is held back.
    std::optional<Line> advance(const AgentState& state, double now);
    // When the reading held back becomes due, if one is.
    std::optional<double> heldUntil() const;
    // The reading held back, once due; it is then no longer held.
    std::optional<Line> takeDue(double now);

  private:
    Line written(const AgentState& state, double now);

    std::optional<AgentState::Kind> lastKind_;
    double lastReadingAt_ = 0;
    std::optional<AgentState> held_;
};

}  // namespace vantrel
