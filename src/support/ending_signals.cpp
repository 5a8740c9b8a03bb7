#include "support/ending_signals.h"

namespace vantrel {

std::vector<int> endingSignals() {
    std::vector<int> signals{SIGTERM, SIGINT};
    struct sigaction hangUp {};
    // A closed terminal or an ended session must not leave the agent behind, unless whoever
    // started us asked for the opposite.
    if (::sigaction(SIGHUP, nullptr, &hangUp) != 0 || hangUp.sa_handler != SIG_IGN) {
        signals.push_back(SIGHUP);
    }
    return signals;
}

sigset_t signalSet(const std::vector<int>& numbers) {
    sigset_t set;
    sigemptyset(&set);
    for (int number : numbers) {
        sigaddset(&set, number);
    }
    return set;
}

}  // namespace vantrel
