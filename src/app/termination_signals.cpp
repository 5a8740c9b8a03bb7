#include "app/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "support/ending_signals.h"

namespace vantrel {
namespace {

// A signal handler can reach nothing but a global: the write end of the self-pipe, set while a
// TerminationSignals lives.
volatile sig_atomic_t gWriteEnd = -1;

void onSignal(int) {
    int saved = errno;
    if (gWriteEnd >= 0) {
        char byte = 1;
        [[maybe_unused]] auto ignored = ::write(gWriteEnd, &byte, 1);
    }
    errno = saved;
}

void handle(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent), signals_(endingSignals()) {
    auto ends = makePipe(O_CLOEXEC | O_NONBLOCK);
    if (!ends.readEnd.valid()) {
        return;
    }
    readEnd_ = std::move(ends.readEnd);
    writeEnd_ = std::move(ends.writeEnd);
    gWriteEnd = writeEnd_.get();
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);
    for (int number : signals_) {
        handle(number, onSignal);
    }
}

TerminationSignals::~TerminationSignals() {
    for (int number : signals_) {
        handle(number, SIG_DFL);
    }
    gWriteEnd = -1;
}

void TerminationSignals::drain() {
    char buffer[32];
    while (::read(readEnd_.get(), buffer, sizeof buffer) > 0) {
    }
    emit received();
}

}  // namespace vantrel
