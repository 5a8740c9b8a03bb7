#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "support/process_descriptor.h"

namespace vantrel {

// Called through syscall(): this C library's header for them lacks C linkage under C++.
UniqueFd openProcessDescriptor(pid_t pid) {
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool sendSignal(int processDescriptor, int number) {
    return ::syscall(SYS_pidfd_send_signal, processDescriptor, number, nullptr, 0) == 0;
}

bool endsWithin(int processDescriptor, double seconds) {
    int milliseconds = seconds < 0 ? -1 : static_cast<int>(std::lround(seconds * 1000));
    pollfd ready{processDescriptor, POLLIN, 0};
    int got;
    while ((got = ::poll(&ready, 1, milliseconds)) < 0 && errno == EINTR) {
    }
    return got > 0;
}

}  // namespace vantrel
