#pragma once

#include <string>

#include "support/unique_fd.h"

namespace vantrel {

// Tells the service manager that started this run how it goes (readiness, a status line, the way
// out); does nothing when no manager asked for it. Messages are datagrams that never wait.
class ServiceNotifier {
  public:
    // `socket` is the manager's notification socket as it hands it over (a path, or "@name" for an
    // abstract one); empty for none.
    explicit ServiceNotifier(const std::string& socket);

    bool active() const { return fd_.valid(); }
    void ready();
    // One line: line breaks and other control characters in `line` become spaces.
    void status(const std::string& line);
    void stopping();

  private:
    void send(const std::string& message);

    UniqueFd fd_;
    std::string address_;  // the sockaddr_un bytes
};

// Whether `fd` is the journal's stream that the manager named (its "DEVICE:INODE" value); a run
// whose output the journal takes marks each line with its priority.
bool isJournalStream(int fd, const std::string& journalStream);

}  // namespace vantrel
