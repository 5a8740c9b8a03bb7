#include "agent/agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "agent/line_splitter.h"
#include "agent/orphan_reaper.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"
#include "support/error_text.h"
#include "support/utf8_stream.h"

namespace vantrel {
namespace {

using supervision::Action;
using supervision::Event;
using supervision::EventKind;

constexpr size_t kPipeSize = 1024 * 1024;
// Full reads in a row whose changes reach the main loop together: a pipe's worth at the usual size.
constexpr size_t kFullReadsPerHandover = 4;
// Adds at most this much to a state change while output streams; none for a quiet agent.
constexpr auto kMergePause = std::chrono::milliseconds(1);
// After SIGKILL an end is a matter of moments; this bounds the wait for one the system holds.
constexpr double kKillMargin = 5;

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
    handle({EventKind::start});
}

void AgentProcess::stop() {
    handle({EventKind::stop});
}

void AgentProcess::restartNow() {
    handle({EventKind::restartNow});
}

bool AgentProcess::stopAndWait() {
    stop();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(config_.grace + kKillMargin),
                             [this] { return machine_.phase == supervision::Phase::idle; });
}

void AgentProcess::setOnState(StateCallback callback) {
    std::lock_guard lock(deliveryMutex_);
    onState_ = std::move(callback);
}

void AgentProcess::setOnLaunched(std::function<void()> callback) {
    std::lock_guard lock(deliveryMutex_);
    onLaunched_ = std::move(callback);
}

AgentState AgentProcess::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

supervision::State AgentProcess::machineForTesting() const {
    std::lock_guard lock(mutex_);
    return machine_;
}

std::optional<pid_t> AgentProcess::pidForTesting() const {
    std::lock_guard lock(mutex_);
    return process_ ? std::optional<pid_t>(process_->pid()) : std::nullopt;
}

void AgentProcess::handle(Event event) {
    std::lock_guard lock(mutex_);
    handleLocked(std::move(event));
}

// A launch answers at once with its outcome, which is handled before anything else can come in.
void AgentProcess::handleLocked(Event event) {
    for (std::optional<Event> next = std::move(event); next;) {
        auto step = supervision::advance(machine_, std::move(*next));
        machine_ = step.next;
        if (step.show) {
            assignLocked(std::move(*step.show));
        }
        next = carryOutLocked(step);
        if (step.relaunchIn) {
            scheduleLocked(*step.relaunchIn, {EventKind::relaunchDue, machine_.wait});
        }
    }
    changed_.notify_all();
}

std::optional<Event> AgentProcess::carryOutLocked(const supervision::Step& step) {
    if (step.actions.has(Action::forgetPid)) {
        std::error_code ignored;
        std::filesystem::remove(config_.pidFile, ignored);
    }
    if (step.actions.has(Action::reap)) {
        backgroundQueue_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->reap();
            }
        });
    }
    if (step.actions.has(Action::kill) && process_) {
        process_->signal(SIGKILL);
    }
    if (step.actions.has(Action::terminate) && process_) {
        process_->signal(SIGTERM);
        scheduleLocked(config_.grace, {EventKind::graceOver, machine_.child});
    }
    return step.actions.has(Action::launch) ? launchLocked() : std::nullopt;
}

// Off the owner's thread: an agent left by an earlier run may take its grace to end.
void AgentProcess::reap() {
    reapOrphan(config_.pidFile, config_.python, config_.orphanGrace);
    handle({EventKind::reaped});
}

void AgentProcess::scheduleLocked(double seconds, Event event) {
    backgroundQueue_->postAfter(seconds, [weak = weak_from_this(), event = std::move(event)] {
        if (auto self = weak.lock()) {
            self->handle(event);
        }
    });
}

std::optional<Event> AgentProcess::launchLocked() {
    const auto number = machine_.child;
    auto [readEnd, writeEnd] = makePipe(O_CLOEXEC);
    if (!readEnd.valid()) {
        return Event{EventKind::launchFailed, number, describe(errno)};
    }
    // A larger pipe lets a chatty agent run ahead of the reader with fewer wake-ups.
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, static_cast<int>(kPipeSize));

    auto started = ChildProcess::spawn({
        .executable = config_.python.string(),
        .arguments = kAgentArguments,
        .environment = agentEnvironment(config_, currentEnvironment()),
        .output = writeEnd.get(),
        // However the application ends, even by a crash, the agent is told to stop.
        .parentDeathSignal = SIGTERM,
        // Out of the terminal's reach: only the application asks it to end, and only once.
        .newSession = true,
    });
    writeEnd.reset();
    if (!started.child) {
        return Event{EventKind::launchFailed, number, describe(started.error)};
    }
    process_ = std::make_shared<ChildProcess>(std::move(*started.child));
    if (auto identity = AgentIdentity::of(process_->pid())) {
        writePidFile(config_.pidFile, *identity);
    }
    // Before the watcher starts, so it goes ahead of this agent's first state change.
    {
        std::lock_guard lock(deliveryMutex_);
        launchUndelivered_ = true;
    }
    postDeliveryLocked();
    std::thread(watch, weak_from_this(), number, process_, std::move(readEnd), config_.readSize)
        .detach();
    return Event{EventKind::launched, number};
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
    if (!deliveryPosted_ && (launchUndelivered_ || !undelivered_.empty())) {
        deliveryPosted_ = true;
        mainQueue_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->deliver();
            }
        });
    }
}

void AgentProcess::deliver() {
    StateCallback onState;
    std::function<void()> onLaunched;
    {
        std::lock_guard lock(deliveryMutex_);
        delivering_.swap(undelivered_);
        deliveryPosted_ = false;
        onState = onState_;
        if (std::exchange(launchUndelivered_, false)) {
            onLaunched = onLaunched_;
        }
    }
    if (onLaunched) {
        onLaunched();
    }
    for (const auto& state : delivering_) {
        if (onState) {
            onState(state);
        }
    }
    delivering_.clear();
}

// Takes text already decoded by the child's own Utf8Stream and cut by its own LineSplitter, so
// that one agent's unfinished line never joins the next one's. Most lines cannot matter, and are
// passed over by one look at their first byte. The changes wait for `deliver` to wake the main
// loop, so that those of several chunks read in a row cost it one wake.
void AgentProcess::absorb(std::uint64_t child, std::string_view text, LineSplitter& lines,
                          bool deliver) {
    std::lock_guard lock(mutex_);
    log_.append(text);
    absorbing_ = true;
    lines.feed(text, [this, child](std::string_view line) {
        if (mayMatter(line)) {
            judgeLocked(child, line);
        }
    });
    absorbing_ = false;
    if (deliver) {
        postDeliveryLocked();
    }
}

void AgentProcess::judgeLocked(std::uint64_t child, std::string_view line) {
    auto meaning = readLine(line);
    if (!meaning) {
        return;
    }
    handleLocked({EventKind::statusSeen,
                  child,
                  {},
                  meaning->kind == LineMeaning::Kind::status
                      ? AgentState::reading(std::move(meaning->label))
                      : AgentState::waitingToPair()});
}

// The child's exit (with its status) or the end of its output: an unfinished last line is ended
// in the log, so the next agent's words start on a line of their own.
void AgentProcess::endOfOutput(std::uint64_t child, std::optional<int> status) {
    std::lock_guard lock(mutex_);
    log_.endLine();
    if (!status) {
        return;
    }
    if (machine_.child == child) {
        process_.reset();
    }
    handleLocked({EventKind::exited, child, "exited " + std::to_string(*status)});
}

namespace {

// One child's pipe: reads what it holds into the supervisor, decoding and cutting lines on this
// thread with state of this child's own. While reads come back full, the agent writes faster than
// it is read, and the changes of up to a pipe's worth of reads go to the main loop together; any
// other read hands them over at once, so a quiet agent's line never waits.
class PipeReader {
  public:
    enum class Result { full, some, empty, end };
    // The text, empty when there is only `deliver` to do; `deliver` wakes the main loop.
    using Absorb = std::function<void(std::string_view, LineSplitter&, bool deliver)>;

    PipeReader(UniqueFd pipe, size_t readSize, Absorb absorb)
        : pipe_(std::move(pipe)),
          readSize_(readSize),
          absorb_(std::move(absorb)),
          buffer_(new char[readSize]) {
        ::fcntl(pipe_.get(), F_SETFL, O_NONBLOCK);
    }

    int descriptor() const { return pipe_.get(); }

    // What the pipe holds, until a read comes back short or `limit` bytes have been read, so that
    // a child of the agent that keeps writing cannot hold up the exit. The changes read are with
    // the main loop when it returns.
    Result drain(size_t limit) {
        Result result = Result::full;
        for (size_t taken = 0; result == Result::full && taken < limit; taken += readSize_) {
            result = readOnce(taken + readSize_ >= limit);
        }
        return result;
    }

    // A wake's worth: the changes of a few full reads go to the main loop together.
    Result drainSome() { return drain(kFullReadsPerHandover * readSize_); }
    // All the pipe can hold: the words an ended agent wrote last, however small the reads.
    Result drainEnded() { return drain(kPipeSize); }

  private:
    Result readOnce(bool last) {
        ssize_t got = ::read(pipe_.get(), buffer_.get(), readSize_);
        Result result = resultOf(got);
        bool deliver = last || result != Result::full;
        if (got > 0 || (deliver && held_)) {
            absorb_(decoded(got), lines_, deliver);
        }
        held_ = !deliver && (held_ || got > 0);
        return result;
    }

    Result resultOf(ssize_t got) const {
        if (got < 0) {
            return errno == EINTR ? Result::some : errno == EAGAIN ? Result::empty : Result::end;
        }
        if (got == 0) {
            return Result::end;
        }
        return static_cast<size_t>(got) == readSize_ ? Result::full : Result::some;
    }

    // The text of the `got` bytes read, empty when there are none or they are dropped.
    std::string_view decoded(ssize_t got) {
        if (got <= 0) {
            return {};
        }
        return decoder_.decode(std::string_view(buffer_.get(), static_cast<size_t>(got)))
            .value_or(std::string_view());
    }

    UniqueFd pipe_;
    const size_t readSize_;
    Absorb absorb_;
    // Left untouched until read into: a quiet agent's reader keeps a page or two resident.
    std::unique_ptr<char[]> buffer_;
    bool held_ = false;  // text read since the changes last went to the main loop
    Utf8Stream decoder_;
    LineSplitter lines_;
};

}  // namespace

// One thread per child reads its output and notices its end. At the end, what the pipe already
// holds is absorbed and the exit is handled at once; output that a child of the agent writes
// later is still absorbed until the pipe closes. After a short read the thread pauses briefly,
// so that a stream of small writes is read in few large reads; a quiet agent's line is read as
// soon as it arrives.
void AgentProcess::watch(std::weak_ptr<AgentProcess> weak, std::uint64_t number,
                         std::shared_ptr<ChildProcess> child, UniqueFd output, size_t readSize) {
    PipeReader pipe(std::move(output), readSize,
                    [weak, number](std::string_view text, LineSplitter& lines, bool deliver) {
                        if (auto self = weak.lock()) {
                            self->absorb(number, text, lines, deliver);
                        }
                    });
    pollfd watched[2] = {{pipe.descriptor(), POLLIN, 0}, {child->descriptor(), POLLIN, 0}};
    bool exited = false;
    auto end = [&](std::optional<int> status) {
        if (auto self = weak.lock()) {
            self->endOfOutput(number, status);
        }
    };
    auto handleExit = [&](int status) {
        exited = true;
        watched[1].fd = -1;
        end(status);
    };
    while (watched[0].fd >= 0 || !exited) {
        if (watched[0].fd < 0 && watched[1].fd < 0) {
            handleExit(child->wait());  // no process descriptor: the closed pipe is the only sign
            break;
        }
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            auto result = pipe.drainSome();
            if (result == PipeReader::Result::end) {
                watched[0].fd = -1;
                if (exited) {
                    end(std::nullopt);
                }
            } else if (result == PipeReader::Result::some) {
                std::this_thread::sleep_for(kMergePause);
            }
        }
        if (!exited && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            int status = child->wait();
            pipe.drainEnded();
            handleExit(status);
        }
    }
    if (!exited) {
        handleExit(child->wait());
    }
}

}  // namespace vantrel
