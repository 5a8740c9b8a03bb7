#pragma once

#include <functional>
#include <memory>
#include <string>

#include "agent/agent_state.h"
#include "app/journal_line_policy.h"
#include "support/task_queue.h"

namespace vantrel {

// Writes the headless run's state lines to the journal as JournalLinePolicy decides, each with
// its priority prefix; a reading held back is written when it falls due, on the main queue.
class StateJournal : public std::enable_shared_from_this<StateJournal> {
  public:
    using Clock = std::function<double()>;
    using Write = std::function<void(const std::string& line)>;

    static std::shared_ptr<StateJournal> create(std::shared_ptr<TaskQueue> mainQueue, Clock clock,
                                                Write write);

    // On the main queue, with every change of state.
    void show(const AgentState& state);

  private:
    StateJournal(std::shared_ptr<TaskQueue> mainQueue, Clock clock, Write write);
    void writeDue();
    void write(const JournalLinePolicy::Line& line);

    const std::shared_ptr<TaskQueue> mainQueue_;
    const Clock clock_;
    const Write write_;
    JournalLinePolicy policy_;
};

}  // namespace vantrel
