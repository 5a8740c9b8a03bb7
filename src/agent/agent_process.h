#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "agent/agent_config.h"
#include "agent/agent_log.h"
#include "agent/agent_state.h"
#include "agent/line_splitter.h"
#include "support/child_process.h"
#include "support/task_queue.h"

namespace vantrel {

// Keeps the agent running: launches it, logs and reads its output, relaunches it with back-off
// when it ends, ends an agent left over from an earlier run, and stops it on request.
// Every step is serialized by one mutex; callbacks and queue tasks never run under it.
class AgentProcess : public std::enable_shared_from_this<AgentProcess> {
  public:
    using StateCallback = std::function<void(const AgentState&)>;

    static constexpr double kFirstDelay = 1.0;
    static constexpr double kLongestDelay = 60.0;
    // Changes waiting for the main loop beyond this many are folded into the newest one.
    static constexpr size_t kUndeliveredLimit = 32;

    // Nothing is launched or touched until start().
    static std::shared_ptr<AgentProcess> create(AgentConfig config,
                                                std::shared_ptr<TaskQueue> mainQueue,
                                                std::shared_ptr<TaskQueue> backgroundQueue);

    void start();
    void stop();
    void restartNow();

    // Called on the main queue with every change of state, in order.
    void setOnState(StateCallback callback);
    AgentState state() const;

    double restartDelayForTesting() const;
    std::optional<pid_t> pidForTesting() const;
    // How many ends of children have been handled, including those let go by stop().
    int exitsHandledForTesting() const;

  private:
    struct Child;

    AgentProcess(AgentConfig config, std::shared_ptr<TaskQueue> mainQueue,
                 std::shared_ptr<TaskQueue> backgroundQueue);

    void spawnLocked();
    void scheduleRestartLocked();
    void assignLocked(AgentState state);
    void relaunchCheck();
    void absorb(std::string_view text);
    void judgeLocked(std::string_view line);
    void handleExit(const std::shared_ptr<ChildProcess>& child, int status);
    void postDeliveryLocked();
    void deliver();

    static void watch(std::weak_ptr<AgentProcess> weak, std::shared_ptr<ChildProcess> child,
                      UniqueFd output);

    const AgentConfig config_;
    const std::shared_ptr<TaskQueue> mainQueue_;
    const std::shared_ptr<TaskQueue> backgroundQueue_;

    mutable std::mutex mutex_;
    std::shared_ptr<ChildProcess> process_;
    double restartDelay_ = kFirstDelay;
    bool stopping_ = false;
    AgentLog log_;
    LineSplitter lines_;
    AgentState state_ = AgentState::starting();
    int exitsHandled_ = 0;
    bool absorbing_ = false;

    // Deliveries have a lock of their own, so that the main loop never waits for a busy reader.
    std::mutex deliveryMutex_;
    StateCallback onState_;
    std::deque<AgentState> undelivered_;
    bool deliveryPosted_ = false;
};

}  // namespace vantrel
