#pragma once

#include <string>

namespace vantrel {

// The agent's state as the menu shows it.
class AgentState {
  public:
    enum class Kind { reading, stopped, starting, waitingToPair };

    static AgentState reading(std::string label) { return {Kind::reading, std::move(label)}; }
    static AgentState stopped(std::string reason) { return {Kind::stopped, std::move(reason)}; }
    static AgentState starting() { return {Kind::starting, {}}; }
    static AgentState waitingToPair() { return {Kind::waitingToPair, {}}; }

    Kind kind() const { return kind_; }
    // The label of reading, the reason of stopped; empty otherwise.
    const std::string& text() const { return text_; }
    std::string menuText() const;

    // Same case and, for reading and stopped, canonically equivalent text.
    friend bool operator==(const AgentState& a, const AgentState& b);

  private:
    AgentState(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

}  // namespace vantrel
