#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/running_app.h"
#include "support/unique_fd.h"

namespace vantrel::testing {

// The service manager's end of the notification socket: a datagram socket bound to `name` (a path,
// or "@name" for an abstract one) that keeps every message it receives.
class NotifyListener {
  public:
    explicit NotifyListener(std::string name) : name_(std::move(name)) {
        sockaddr_un address{AF_UNIX, {}};
        std::memcpy(address.sun_path, name_.data(), name_.size());
        address.sun_path[0] = name_[0] == '@' ? '\0' : name_[0];
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
    }

    const std::string& name() const { return name_; }
    bool bound() const { return bound_; }

    // Every message received so far, in order; waits up to `seconds` for the first new one.
    const std::vector<std::string>& messages(double seconds = 0) {
        char buffer[4096];
        for (double wait = seconds; readable(fd_.get(), wait); wait = 0) {
            const ssize_t count = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (count < 0) {
                break;
            }
            messages_.emplace_back(buffer, static_cast<size_t>(count));
        }
        return messages_;
    }

  private:
    std::string name_;
    UniqueFd fd_{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    bool bound_ = false;
    std::vector<std::string> messages_;
};

}  // namespace vantrel::testing
