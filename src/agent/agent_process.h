#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "agent/agent_config.h"
#include "agent/agent_log.h"
#include "agent/agent_state.h"
#include "agent/supervision.h"
#include "support/child_process.h"
#include "support/task_queue.h"

namespace vantrel {

class LineSplitter;

// Keeps the agent running: carries out what the supervision state machine decides (launch, end
// gracefully then surely, relaunch with back-off, end an earlier run's agent), logs and reads the
// agent's output, and delivers its state to the main loop. One mutex serializes every step;
// callbacks and queue tasks never run under it.
class AgentProcess : public std::enable_shared_from_this<AgentProcess> {
  public:
    using StateCallback = std::function<void(const AgentState&)>;

    // Changes waiting for the main loop beyond this many are folded into the newest one: room for
    // those of a pipe's worth of a stream with a status line in every hundred or so.
    static constexpr size_t kUndeliveredLimit = 1024;

    // Nothing is launched or touched until start().
    static std::shared_ptr<AgentProcess> create(AgentConfig config,
                                                std::shared_ptr<TaskQueue> mainQueue,
                                                std::shared_ptr<TaskQueue> backgroundQueue);

    void start();
    // Asks the agent to end (SIGTERM, SIGKILL after the grace); no relaunch follows.
    void stop();
    // Ends the running agent as stop() does and launches it again once it has ended; launches at
    // once when none runs.
    void restartNow();
    // stop(), then blocks until the agent has ended: by itself within the grace, else by SIGKILL.
    // False when even that did not end it a few seconds later (a process stuck in the system).
    bool stopAndWait();

    // Called on the main queue with every change of state, in order.
    void setOnState(StateCallback callback);
    // Called on the main queue after each launch of the agent, before any state its output brings.
    void setOnLaunched(std::function<void()> callback);
    AgentState state() const;

    supervision::State machineForTesting() const;
    std::optional<pid_t> pidForTesting() const;

  private:
    AgentProcess(AgentConfig config, std::shared_ptr<TaskQueue> mainQueue,
                 std::shared_ptr<TaskQueue> backgroundQueue);

    void handle(supervision::Event event);
    void handleLocked(supervision::Event event);
    std::optional<supervision::Event> carryOutLocked(const supervision::Step& step);
    std::optional<supervision::Event> launchLocked();
    void scheduleLocked(double seconds, supervision::Event event);
    void reap();
    void absorb(std::uint64_t child, std::string_view text, LineSplitter& lines, bool deliver);
    void judgeLocked(std::uint64_t child, std::string_view line);
    void endOfOutput(std::uint64_t child, std::optional<int> status);
    void assignLocked(AgentState state);
    void postDeliveryLocked();
    void deliver();

    static void watch(std::weak_ptr<AgentProcess> weak, std::uint64_t number,
                      std::shared_ptr<ChildProcess> child, UniqueFd output, size_t readSize);

    const AgentConfig config_;
    const std::shared_ptr<TaskQueue> mainQueue_;
    const std::shared_ptr<TaskQueue> backgroundQueue_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    supervision::State machine_;
    std::shared_ptr<ChildProcess> process_;
    AgentLog log_;
    AgentState state_ = AgentState::starting();
    bool absorbing_ = false;

    // Deliveries have a lock of their own, so that the main loop never waits for a busy reader.
    std::mutex deliveryMutex_;
    StateCallback onState_;
    std::function<void()> onLaunched_;
    bool launchUndelivered_ = false;
    std::vector<AgentState> undelivered_;
    bool deliveryPosted_ = false;
    std::vector<AgentState> delivering_;  // on the main loop only, kept for its capacity
};

}  // namespace vantrel
