#include "app/state_journal.h"

namespace vantrel {

std::shared_ptr<StateJournal> StateJournal::create(std::shared_ptr<TaskQueue> mainQueue,
                                                   Clock clock, Write write) {
    return std::shared_ptr<StateJournal>(
        new StateJournal(std::move(mainQueue), std::move(clock), std::move(write)));
}

StateJournal::StateJournal(std::shared_ptr<TaskQueue> mainQueue, Clock clock, Write write)
    : mainQueue_(std::move(mainQueue)), clock_(std::move(clock)), write_(std::move(write)) {}

void StateJournal::show(const AgentState& state) {
    const double now = clock_();
    const bool waking = policy_.heldUntil().has_value();
    if (auto line = policy_.advance(state, now)) {
        write(*line);
        return;
    }
    // One wake-up for a run of readings held back; one that finds nothing due does nothing.
    if (auto due = policy_.heldUntil(); due && !waking) {
        mainQueue_->postAfter(*due - now, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->writeDue();
            }
        });
    }
}

void StateJournal::writeDue() {
    if (auto line = policy_.takeDue(clock_())) {
        write(*line);
    }
}

void StateJournal::write(const JournalLinePolicy::Line& line) {
    write_(withPriority(line.priority, line.text));
}

}  // namespace vantrel
