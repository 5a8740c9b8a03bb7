#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "support/service_manager.h"

namespace vantrel {

ServiceNotifier::ServiceNotifier(const std::string& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.size() < 2 || socket.size() >= sizeof address.sun_path ||
        (socket[0] != '/' && socket[0] != '@')) {
        return;
    }
    std::memcpy(address.sun_path, socket.data(), socket.size());
    if (socket[0] == '@') {
        address.sun_path[0] = '\0';
    }
    address_.assign(reinterpret_cast<const char*>(&address),
                    offsetof(sockaddr_un, sun_path) + socket.size());
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

void ServiceNotifier::ready() {
    send("READY=1");
}

void ServiceNotifier::stopping() {
    send("STOPPING=1");
}

void ServiceNotifier::status(const std::string& line) {
    if (!active()) {
        return;  // the common case: nobody to tell, nothing to build
    }
    std::string message = "STATUS=" + line;
    for (char& c : message) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    send(message);
}

// A lost message costs only a stale status: the run never waits for the manager.
void ServiceNotifier::send(const std::string& message) {
    if (!fd_.valid()) {
        return;
    }
    [[maybe_unused]] auto sent = ::sendto(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                                          reinterpret_cast<const sockaddr*>(address_.data()),
                                          static_cast<socklen_t>(address_.size()));
}

bool isJournalStream(int fd, const std::string& journalStream) {
    struct stat status {};
    if (journalStream.empty() || ::fstat(fd, &status) != 0) {
        return false;
    }
    return journalStream == std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

}  // namespace vantrel
