#include "app/headless_handover.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/reopen_request.h"

namespace vantrel {
namespace {

// A request is a few bytes, sent at once; a peer that sends more, or takes longer, is not ours.
constexpr size_t kLongestRequest = 64;
constexpr int kRequestMilliseconds = 2000;

std::string readRequest(int peer) {
    std::string request;
    while (request.size() < kLongestRequest && request.find('\n') == std::string::npos) {
        pollfd entry{peer, POLLIN, 0};
        char buffer[kLongestRequest];
        if (::poll(&entry, 1, kRequestMilliseconds) != 1) {
            return {};
        }
        ssize_t count = ::read(peer, buffer, sizeof buffer - request.size());
        if (count <= 0) {
            return {};
        }
        request.append(buffer, static_cast<size_t>(count));
    }
    return request;
}

UniqueFd listenAt(const std::filesystem::path& socket) {
    auto address = socketAddress(socket);
    if (!address) {
        return {};
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Only the holder of the instance lock listens, so whatever is there was left by one that died.
    ::unlink(socket.c_str());
    const mode_t previous = ::umask(0077);
    bool bound = fd.valid() && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address),
                                      sizeof *address) == 0;
    ::umask(previous);
    if (!bound || ::listen(fd.get(), 4) != 0) {
        return {};
    }
    return fd;
}

}  // namespace

std::unique_ptr<HeadlessHandover> HeadlessHandover::listen(const std::filesystem::path& socket,
                                                           std::shared_ptr<TaskQueue> mainQueue,
                                                           std::function<void()> quit,
                                                           bool service) {
    UniqueFd listening = listenAt(socket);
    if (!listening.valid()) {
        return nullptr;
    }
    return std::unique_ptr<HeadlessHandover>(new HeadlessHandover(
        socket, std::move(listening), std::move(mainQueue), std::move(quit), service));
}

HeadlessHandover::HeadlessHandover(std::filesystem::path socket, UniqueFd listening,
                                   std::shared_ptr<TaskQueue> mainQueue, std::function<void()> quit,
                                   bool service)
    : socket_(std::move(socket)),
      listening_(std::move(listening)),
      mainQueue_(std::move(mainQueue)),
      quit_(std::move(quit)),
      service_(service) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
        wakeRead_.reset(ends[0]);
        wakeWrite_.reset(ends[1]);
    }
    thread_ = std::thread([this] { run(); });
}

HeadlessHandover::~HeadlessHandover() {
    wakeWrite_.reset();  // the thread sees the end of the pipe
    thread_.join();
    ::unlink(socket_.c_str());
}

void HeadlessHandover::setState(const std::string& line) {
    std::lock_guard lock(mutex_);
    state_ = line;
}

void HeadlessHandover::run() {
    for (;;) {
        pollfd entries[2] = {{wakeRead_.get(), POLLIN, 0}, {listening_.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 || entries[0].revents != 0) {
            return;
        }
        UniqueFd peer(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (peer.valid()) {
            answer(peer.get());
        }
    }
}

void HeadlessHandover::answer(int peer) {
    const std::string request = readRequest(peer);
    std::string reply;
    if (request == kReopenRequest) {
        std::lock_guard lock(mutex_);
        reply =
            handoverAnswer(service_ ? RunningInstance::service : RunningInstance::headless, state_);
    } else if (request == kQuitRequest) {
        mainQueue_->post(quit_);
        reply = kReopenAcknowledged;
    }
    [[maybe_unused]] auto sent = ::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace vantrel
