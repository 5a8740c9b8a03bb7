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

// One line, at most a few KiB, within the time left.
std::optional<std::string> readLine(int fd, Clock::time_point deadline) {
    constexpr size_t kLongestLine = 4096;
    std::string received;
    while (received.find('\n') == std::string::npos && received.size() < kLongestLine) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[512];
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) {
            return std::nullopt;
        }
        received.append(buffer, static_cast<size_t>(count));
    }
    auto end = received.find('\n');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    return received.substr(0, end + 1);
}

std::optional<std::string> exchange(const std::filesystem::path& socket, std::string_view request,
                                    double timeoutSeconds) {
    auto address = socketAddress(socket);
    if (!address) {
        return std::nullopt;
    }
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeoutSeconds));
    auto fd = connectBefore(*address, deadline);
    if (!fd || ::send(fd->get(), request.data(), request.size(), MSG_NOSIGNAL) !=
                   static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    return readLine(fd->get(), deadline);
}

constexpr std::string_view kHeadlessWord = "headless ";
constexpr std::string_view kServiceWord = "service ";

}  // namespace

std::optional<sockaddr_un> socketAddress(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.empty() || socket.native().size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
    return address;
}

std::string handoverAnswer(RunningInstance instance, const std::string& state) {
    std::string line(instance == RunningInstance::service ? kServiceWord : kHeadlessWord);
    for (char c : state) {
        // The answer is one line.
        line += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
    return line + '\n';
}

std::optional<HandoverAnswer> parseHandoverAnswer(std::string_view reply) {
    if (!reply.ends_with('\n')) {
        return std::nullopt;
    }
    reply.remove_suffix(1);
    if (reply == kReopenAcknowledged.substr(0, kReopenAcknowledged.size() - 1)) {
        return HandoverAnswer{RunningInstance::desktop, {}};
    }
    for (auto [word, instance] : {std::pair{kHeadlessWord, RunningInstance::headless},
                                  std::pair{kServiceWord, RunningInstance::service}}) {
        if (reply.starts_with(word)) {
            return HandoverAnswer{instance, std::string(reply.substr(word.size()))};
        }
    }
    return std::nullopt;
}

std::optional<HandoverAnswer> requestReopen(const std::filesystem::path& socket,
                                            double timeoutSeconds) {
    auto reply = exchange(socket, kReopenRequest, timeoutSeconds);
    return reply ? parseHandoverAnswer(*reply) : std::nullopt;
}

bool requestQuit(const std::filesystem::path& socket, double timeoutSeconds) {
    return exchange(socket, kQuitRequest, timeoutSeconds) == std::string(kReopenAcknowledged);
}

}  // namespace vantrel
