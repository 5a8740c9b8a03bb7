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
    explicit NotifyListener(std::string name)
        : name_(std::move(name)), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name_.data(), name_.size());
        if (name_[0] == '@') {
            address.sun_path[0] = '\0';
        }
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
    }

    const std::string& name() const { return name_; }
    bool bound() const { return bound_; }

    // Every message received so far, in order; waits up to `seconds` for the first new one.
    const std::vector<std::string>& messages(double seconds = 0) {
        for (bool first = true; readable(fd_.get(), first ? seconds : 0); first = false) {
            char buffer[4096];
            ssize_t count = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (count < 0) {
                break;
            }
            messages_.emplace_back(buffer, static_cast<size_t>(count));
        }
        return messages_;
    }

    // Waits until a message starting with `prefix` has come, up to `seconds`.
    bool waitFor(const std::string& prefix, double seconds) {
        return eventually(
            [&] {
                for (const auto& message : messages(0.1)) {
                    if (message.starts_with(prefix)) {
                        return true;
                    }
                }
                return false;
            },
            seconds);
    }

  private:
    std::string name_;
    UniqueFd fd_;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

}  // namespace vantrel::testing
