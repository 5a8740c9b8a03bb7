#include "app/journal_line_policy.h"

namespace vantrel {

std::string withPriority(Priority priority, std::string_view text) {
    // Appended piecewise: GCC 12 warns falsely (-Wrestrict) on "<" + std::to_string(…).
    std::string prefix = "<";
    prefix += std::to_string(static_cast<int>(priority));
    prefix += '>';
    std::string lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        lines += prefix;
        lines += text.substr(start, end == std::string_view::npos ? end : end - start);
        if (end == std::string_view::npos || end + 1 == text.size()) {
            return lines;
        }
        lines += '\n';
        start = end + 1;
    }
}

std::optional<JournalLinePolicy::Line> JournalLinePolicy::advance(const AgentState& state,
                                                                  double now) {
    const bool onlyNewValue =
        state.kind() == AgentState::Kind::reading && lastKind_ == AgentState::Kind::reading;
    if (onlyNewValue && now < lastReadingAt_ + kReadingGap) {
        held_ = state;
        return std::nullopt;
    }
    // A change of kind makes any reading still held back out of date.
    held_.reset();
    return written(state, now);
}

std::optional<double> JournalLinePolicy::heldUntil() const {
    if (!held_) {
        return std::nullopt;
    }
    return lastReadingAt_ + kReadingGap;
}

std::optional<JournalLinePolicy::Line> JournalLinePolicy::takeDue(double now) {
    if (!held_ || now < lastReadingAt_ + kReadingGap) {
        return std::nullopt;
    }
    AgentState due = std::move(*held_);
    held_.reset();
    return written(due, now);
}

JournalLinePolicy::Line JournalLinePolicy::written(const AgentState& state, double now) {
    lastKind_ = state.kind();
    if (state.kind() == AgentState::Kind::reading) {
        lastReadingAt_ = now;
    }
    // A stopped agent is the failure a reader of the journal looks for.
    Priority priority =
        state.kind() == AgentState::Kind::stopped ? Priority::warning : Priority::info;
    return {priority, state.menuText()};
}

}  // namespace vantrel
