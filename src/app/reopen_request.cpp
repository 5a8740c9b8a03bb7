#include "app/reopen_request.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "support/instance_lock.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<UniqueFd> connectOnce(const sockaddr_un& address) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    return fd;
}

std::optional<UniqueFd> connectBefore(const sockaddr_un& address, Clock::time_point deadline) {
    while (true) {
        if (auto fd = connectOnce(address)) {
            return fd;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool readAcknowledgement(int fd, Clock::time_point deadline) {
    std::string received;
    while (received.size() < kReopenAcknowledged.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[16];
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        received.append(buffer, static_cast<size_t>(count));
    }
    return received.starts_with(kReopenAcknowledged);
}

}  // namespace

std::filesystem::path reopenSocketPath() {
    return InstanceLock::runtimeDirectory() / "vantrel-agent.sock";
}

bool requestReopen(const std::filesystem::path& socket, double timeoutSeconds) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.native().size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeoutSeconds));
    auto fd = connectBefore(address, deadline);
    if (!fd) {
        return false;
    }
    if (::send(fd->get(), kReopenRequest.data(), kReopenRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kReopenRequest.size())) {
        return false;
    }
    return readAcknowledgement(fd->get(), deadline);
}

}  // namespace vantrel
