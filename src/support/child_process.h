#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/unique_fd.h"

namespace vantrel {

struct SpawnRequest {
    std::string executable;                // an absolute path; no search
    std::vector<std::string> arguments;    // after the program name (argv[0] is the executable)
    std::vector<std::string> environment;  // NAME=value entries, the whole environment
    int output = -1;                       // becomes both standard output and standard error
    // Sent to the child when the parent ends, however it ends (0: none). The system ties it to
    // the thread that spawns, so spawn only from threads that live as long as the process.
    int parentDeathSignal = 0;
    int input = -1;  // becomes standard input; -1: the child shares ours
    // Runs the program as a child of a short-lived child, so that it is never ours to wait for and
    // outlives us freely. spawn then gives no child: error 0 once the program has started.
    bool detached = false;
    // Starts the program in a session of its own, away from our terminal: a hang-up or an
    // interrupt typed there reaches us, and we decide what the child gets.
    bool newSession = false;
};

// A started child. The child inherits exactly standard input (or `input`), and `output` as its
// standard output and standard error, with every signal unblocked and at its default disposition;
// signals are sent through a process descriptor, so a recycled pid is never hit.
class ChildProcess {
  public:
    struct Started;

    // Starts the child; an exec failure comes back as its errno through a close-on-exec pipe, so
    // "could not start" is never mistaken for "exited".
    static Started spawn(const SpawnRequest& request);

    pid_t pid() const { return pid_; }
    int descriptor() const { return pidfd_.get(); }
    // False when the child has already been reaped or the signal could not be sent.
    bool signal(int number) const;
    // Blocks until the child has ended, reaps it, and gives the exit code or the signal number.
    int wait();

    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;

  private:
    ChildProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    pid_t pid_;
    UniqueFd pidfd_;
};

struct ChildProcess::Started {
    std::optional<ChildProcess> child;
    int error = 0;  // errno when child is absent
};

// The current process's environment as NAME=value entries.
std::vector<std::string> currentEnvironment();

// Sets NAME=value in an environment, replacing an entry of the same name.
void setVariable(std::vector<std::string>& environment, const std::string& name,
                 const std::string& value);

}  // namespace vantrel
