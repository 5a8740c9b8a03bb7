#include "agent/agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"

namespace vantrel {
namespace {

constexpr size_t kReadSize = 256 * 1024;
constexpr int kPipeSize = 1024 * 1024;

std::string describe(int error) {
    return std::generic_category().message(error);
}

}  // namespace

std::shared_ptr<AgentProcess> AgentProcess::create(AgentConfig config,
                                                   std::shared_ptr<TaskQueue> mainQueue,
                                                   std::shared_ptr<TaskQueue> backgroundQueue) {
    return std::shared_ptr<AgentProcess>(
        new AgentProcess(std::move(config), std::move(mainQueue), std::move(backgroundQueue)));
}

AgentProcess::AgentProcess(AgentConfig config, std::shared_ptr<TaskQueue> mainQueue,
                           std::shared_ptr<TaskQueue> backgroundQueue)
    : config_(std::move(config)),
      mainQueue_(std::move(mainQueue)),
      backgroundQueue_(std::move(backgroundQueue)),
      log_(config_.log) {}

void AgentProcess::start() {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    spawnLocked();
}

void AgentProcess::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (process_) {
        process_->signal(SIGTERM);
    }
    process_.reset();
}

void AgentProcess::restartNow() {
    std::lock_guard lock(mutex_);
    restartDelay_ = kFirstDelay;
    if (!process_) {
        spawnLocked();
        return;
    }
    // The relaunch follows through the exit handler once the agent has ended.
    process_->signal(SIGTERM);
}

void AgentProcess::setOnState(StateCallback callback) {
    std::lock_guard lock(mutex_);
    onState_ = std::move(callback);
}

AgentProcess::StateCallback AgentProcess::callback() const {
    std::lock_guard lock(mutex_);
    return onState_;
}

AgentState AgentProcess::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

double AgentProcess::restartDelayForTesting() const {
    std::lock_guard lock(mutex_);
    return restartDelay_;
}

std::optional<pid_t> AgentProcess::pidForTesting() const {
    std::lock_guard lock(mutex_);
    return process_ ? std::optional<pid_t>(process_->pid()) : std::nullopt;
}

void AgentProcess::assignLocked(AgentState state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    // Posted under the lock so that deliveries keep the order of the assignments.
    mainQueue_->post([weak = weak_from_this(), state = std::move(state)] {
        if (auto self = weak.lock()) {
            if (auto onState = self->callback()) {
                onState(state);
            }
        }
    });
}

void AgentProcess::spawnLocked() {
    reapOrphan(config_.pidFile, config_.python);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        assignLocked(AgentState::stopped(describe(errno)));
        scheduleRestartLocked();
        return;
    }
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    // A larger pipe lets a chatty agent run ahead of the reader with fewer wake-ups.
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, kPipeSize);

    auto started = ChildProcess::spawn({
        .executable = config_.python.string(),
        .arguments = kAgentArguments,
        .environment = agentEnvironment(config_, currentEnvironment()),
        .output = writeEnd.get(),
        // However the application ends, even by a crash, the agent is told to stop.
        .parentDeathSignal = SIGTERM,
    });
    writeEnd.reset();
    if (!started.child) {
        assignLocked(AgentState::stopped(describe(started.error)));
        scheduleRestartLocked();
        return;
    }
    process_ = std::make_shared<ChildProcess>(std::move(*started.child));
    writePidFile(config_.pidFile, process_->pid());
    assignLocked(AgentState::starting());
    std::thread(watch, weak_from_this(), process_, std::move(readEnd)).detach();
}

void AgentProcess::scheduleRestartLocked() {
    if (stopping_) {
        return;
    }
    double delay = restartDelay_;
    restartDelay_ = std::min(2 * delay, kLongestDelay);
    backgroundQueue_->postAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->relaunchCheck();
        }
    });
}

void AgentProcess::relaunchCheck() {
    std::lock_guard lock(mutex_);
    if (!stopping_ && !process_) {
        spawnLocked();
    }
}

void AgentProcess::absorb(std::string_view chunk) {
    std::lock_guard lock(mutex_);
    auto text = decoder_.decode(chunk);
    if (!text) {
        return;
    }
    log_.append(*text);
    lines_.feed(*text, [this](std::string_view line) {
        auto meaning = readLine(line);
        if (!meaning) {
            return;
        }
        if (meaning->kind == LineMeaning::Kind::status) {
            restartDelay_ = kFirstDelay;
            assignLocked(AgentState::reading(std::move(meaning->label)));
        } else {
            assignLocked(AgentState::waitingToPair());
        }
    });
}

void AgentProcess::handleExit(const std::shared_ptr<ChildProcess>& child, int status) {
    std::lock_guard lock(mutex_);
    // A child let go by stop() may end after a new one has started; it must not touch that one.
    if (process_ != child) {
        return;
    }
    process_.reset();
    if (!stopping_) {
        assignLocked(AgentState::stopped("exited " + std::to_string(status)));
        scheduleRestartLocked();
    }
}

// One thread per child reads its output and notices its end; output still in the pipe when it
// ends is read (for at most kDrainAfterExit) before the exit is handled, so the last words of a
// crashing agent reach the log.
void AgentProcess::watch(std::weak_ptr<AgentProcess> weak, std::shared_ptr<ChildProcess> child,
                         UniqueFd output) {
    std::vector<char> buffer(kReadSize);
    pollfd watched[2] = {{output.get(), POLLIN, 0}, {child->descriptor(), POLLIN, 0}};
    std::optional<int> status;
    auto deadline = std::chrono::steady_clock::time_point::max();
    auto noteExit = [&] {
        status = child->wait();
        watched[1].fd = -1;
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int>(kDrainAfterExit * 1000));
    };
    while (watched[0].fd >= 0 || !status) {
        if (watched[0].fd < 0 && watched[1].fd < 0) {
            noteExit();  // no process descriptor: the closed pipe is the only sign, so wait
            break;
        }
        int timeout = -1;
        if (status) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            timeout = static_cast<int>(left.count());
        }
        if (::poll(watched, 2, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = ::read(output.get(), buffer.data(), buffer.size());
            if (got > 0) {
                if (auto self = weak.lock()) {
                    self->absorb(std::string_view(buffer.data(), static_cast<size_t>(got)));
                }
            } else if (got == 0 || errno != EINTR) {
                watched[0].fd = -1;
            }
        }
        if (!status && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            noteExit();
        }
    }
    if (!status) {
        status = child->wait();
    }
    if (auto self = weak.lock()) {
        self->handleExit(child, *status);
    }
}

}  // namespace vantrel
