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
#include "agent/utf8_stream.h"
#include "support/error_text.h"

namespace vantrel {
namespace {

constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kPipeSize = 1024 * 1024;
// Adds at most this much to a state change while output streams; none for a quiet agent.
constexpr auto kMergePause = std::chrono::milliseconds(1);

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
    std::lock_guard lock(deliveryMutex_);
    onState_ = std::move(callback);
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

int AgentProcess::exitsHandledForTesting() const {
    std::lock_guard lock(mutex_);
    return exitsHandled_;
}

// Changes queue up in order behind at most one main-loop task. When the main loop falls behind
// (an agent whose status changes on every line), the newest change replaces the last waiting
// one, so memory stays bounded and the latest state always arrives last.
void AgentProcess::assignLocked(AgentState state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    {
        std::lock_guard lock(deliveryMutex_);
        if (undelivered_.size() >= kUndeliveredLimit) {
            undelivered_.back() = std::move(state);
        } else {
            undelivered_.push_back(std::move(state));
        }
    }
    if (!absorbing_) {
        postDeliveryLocked();
    }
}

void AgentProcess::postDeliveryLocked() {
    std::lock_guard lock(deliveryMutex_);
    if (!deliveryPosted_ && !undelivered_.empty()) {
        deliveryPosted_ = true;
        mainQueue_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->deliver();
            }
        });
    }
}

void AgentProcess::deliver() {
    std::deque<AgentState> changes;
    StateCallback onState;
    {
        std::lock_guard lock(deliveryMutex_);
        changes.swap(undelivered_);
        deliveryPosted_ = false;
        onState = onState_;
    }
    for (const auto& state : changes) {
        if (onState) {
            onState(state);
        }
    }
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
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, static_cast<int>(kPipeSize));

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

// Takes text already decoded by the pipe's own Utf8Stream. Most lines cannot matter, and are
// passed over by one look at their first byte.
void AgentProcess::absorb(std::string_view text) {
    std::lock_guard lock(mutex_);
    log_.append(text);
    // The changes of one chunk wake the main loop once.
    absorbing_ = true;
    lines_.feed(text, [this](std::string_view line) {
        if (mayMatter(line)) {
            judgeLocked(line);
        }
    });
    absorbing_ = false;
    postDeliveryLocked();
}

void AgentProcess::judgeLocked(std::string_view line) {
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
}

void AgentProcess::handleExit(const std::shared_ptr<ChildProcess>& child, int status) {
    std::lock_guard lock(mutex_);
    ++exitsHandled_;
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

namespace {

// One child's pipe: reads what it holds into the supervisor, decoding on this thread.
class PipeReader {
  public:
    enum class Result { full, some, empty, end };

    PipeReader(std::weak_ptr<AgentProcess> owner, UniqueFd pipe,
               std::function<void(AgentProcess&, std::string_view)> absorb)
        : owner_(std::move(owner)),
          pipe_(std::move(pipe)),
          absorb_(std::move(absorb)),
          buffer_(kReadSize) {
        ::fcntl(pipe_.get(), F_SETFL, O_NONBLOCK);
    }

    int descriptor() const { return pipe_.get(); }

    Result readOnce() {
        ssize_t got = ::read(pipe_.get(), buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) {
            return Result::some;
        }
        if (got < 0 && errno == EAGAIN) {
            return Result::empty;
        }
        if (got <= 0) {
            return Result::end;
        }
        auto text = decoder_.decode(std::string_view(buffer_.data(), static_cast<size_t>(got)));
        if (text && !text->empty()) {
            if (auto owner = owner_.lock()) {
                absorb_(*owner, *text);
            }
        }
        return static_cast<size_t>(got) == buffer_.size() ? Result::full : Result::some;
    }

    // What the pipe holds at this moment, but no more than it can hold, so that a child of the
    // agent that keeps writing cannot hold up the exit.
    void drain() {
        for (size_t pass = 0; pass * kReadSize <= kPipeSize; ++pass) {
            if (Result result = readOnce(); result == Result::empty || result == Result::end) {
                return;
            }
        }
    }

  private:
    std::weak_ptr<AgentProcess> owner_;
    UniqueFd pipe_;
    std::function<void(AgentProcess&, std::string_view)> absorb_;
    std::vector<char> buffer_;
    Utf8Stream decoder_;
};

}  // namespace

// One thread per child reads its output and notices its end. At the end, what the pipe already
// holds is absorbed and the exit is handled at once; output that a child of the agent writes
// later is still absorbed until the pipe closes. After a short read the thread pauses briefly,
// so that a stream of small writes is read in few large reads; a quiet agent's line is read as
// soon as it arrives.
void AgentProcess::watch(std::weak_ptr<AgentProcess> weak, std::shared_ptr<ChildProcess> child,
                         UniqueFd output) {
    PipeReader pipe(weak, std::move(output),
                    [](AgentProcess& self, std::string_view text) { self.absorb(text); });
    pollfd watched[2] = {{pipe.descriptor(), POLLIN, 0}, {child->descriptor(), POLLIN, 0}};
    bool exited = false;
    auto handle = [&](int status) {
        exited = true;
        watched[1].fd = -1;
        if (auto self = weak.lock()) {
            self->handleExit(child, status);
        }
    };
    while (watched[0].fd >= 0 || !exited) {
        if (watched[0].fd < 0 && watched[1].fd < 0) {
            handle(child->wait());  // no process descriptor: the closed pipe is the only sign
            break;
        }
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            auto result = pipe.readOnce();
            if (result == PipeReader::Result::end) {
                watched[0].fd = -1;
            } else if (result == PipeReader::Result::some) {
                std::this_thread::sleep_for(kMergePause);
            }
        }
        if (!exited && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            int status = child->wait();
            pipe.drain();
            handle(status);
        }
    }
    if (!exited) {
        handle(child->wait());
    }
}

}  // namespace vantrel
