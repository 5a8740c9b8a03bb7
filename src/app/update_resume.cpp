#include "app/update_resume.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "agent/orphan_reaper.h"
#include "support/bundle.h"
#include "support/error_text.h"
#include "support/file_io.h"
#include "support/instance_lock.h"
#include "support/unique_fd.h"
#include "update/bundle_swap.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStarted = "ok";

// The new copy starts with what a fresh process has: nothing blocked, SIGPIPE not ignored.
void restoreSignals() {
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

void runBundle(const fs::path& bundle, char** argv) {
    auto executable = bundle / "bin" / "VantrelAgent";
    restoreSignals();
    ::execv(executable.c_str(), argv);  // the lock, opened close-on-exec, is released here
}

// The pipe end a previous copy handed to this process when it started it for its trial.
UniqueFd takeTrialPipe() {
    const char* named = std::getenv(kTrialVariable);
    if (!named) {
        return UniqueFd();
    }
    int fd = std::atoi(named);
    ::unsetenv(kTrialVariable);
    struct stat info {};
    if (fd <= STDERR_FILENO || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return UniqueFd();
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return UniqueFd(fd);
}

bool anythingBesideLive(const StagedUpdate& update) {
    std::error_code error;
    for (const auto& path : {update.marker(), update.staged(), update.trial()}) {
        if (fs::exists(fs::symlink_status(path, error))) {
            return true;
        }
    }
    return false;
}

void settle(const UpdateResume& resume, char** argv, bool onTrial, bool runPrevious);

// In the guardian: the new version's word, or the end of the pipe without it.
bool heardStarted(int fd) {
    std::string word;
    char buffer[8];
    ssize_t got;
    while (word.size() < kStarted.size() &&
           ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))) {
        word.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
    return word == kStarted;
}

// A child forked before the new version starts: it holds nothing of this process but the pipe
// and outlasts the termination signals a service manager sends the rest of the unit.
[[noreturn]] void guard(int pipe, const UpdateResume& resume, char** argv) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::signal(signal, SIG_IGN);
    }
    if (pipe != 3) {
        ::dup2(pipe, 3);
    }
    ::close_range(4, ~0U, 0);
    if (heardStarted(3)) {
        ::_exit(0);
    }
    ::close(3);
    auto attempt = InstanceLock::acquire(resume.dataFolder, resume.live);
    if (attempt.lock) {
        settle(resume, argv, false, !resume.underServiceManager);
    }
    ::_exit(0);
}

// Starts the new version in this process. Returns only when it could not be started; the guardian
// has then been ended and the trial is for this process to undo.
void tryNew(const StagedUpdate& update, const UpdateResume& resume, char** argv) {
    resume.endOldAgent();
    markTried(update);
    auto [readEnd, writeEnd] = makePipe(O_CLOEXEC);
    if (!readEnd.valid()) {
        return;
    }
    pid_t guardian = ::fork();
    if (guardian == 0) {
        guard(readEnd.get(), resume, argv);
    }
    readEnd.reset();
    if (guardian > 0) {
        ::fcntl(writeEnd.get(), F_SETFD, 0);
        ::setenv(kTrialVariable, std::to_string(writeEnd.get()).c_str(), 1);
    }
    runBundle(update.live, argv);
    std::fprintf(stderr, "Vantrel Agent: the new version could not be started: %s\n",
                 describe(errno).c_str());
    ::unsetenv(kTrialVariable);
    if (guardian > 0) {
        // Ended before the pipe closes, so that only this process rolls back.
        ::kill(guardian, SIGKILL);
        ::waitpid(guardian, nullptr, 0);
    }
}

void settle(const UpdateResume& resume, char** argv, bool onTrial, bool runPrevious) {
    StagedUpdate update{resume.live};
    auto refusedFile = refusedReleaseFile(resume.dataFolder);
    RefusedRelease refused(refusedFile);
    // exchange, tryNew and rollBack follow each other at most once.
    for (int round = 0; round < 3; ++round) {
        auto state =
            readSwapState(update, bundle::root(), onTrial,
                          [&](const std::string& version) { return refused.covers(version); });
        switch (nextSwapStep(state)) {
            case SwapStep::done:
                return;
            case SwapStep::clearLeftovers:
            case SwapStep::keepNew:
                clearLeftovers(update);
                return;
            case SwapStep::exchange:
                if (int error = exchangeStaged(update)) {
                    std::fprintf(stderr, "Vantrel Agent: could not put %s in place: %s\n",
                                 state.marked->c_str(), describe(error).c_str());
                    return;
                }
                break;
            case SwapStep::tryNew:
                tryNew(update, resume, argv);
                break;
            case SwapStep::rollBack:
                std::fprintf(stderr, "Vantrel Agent: %s did not start; %s is back in place\n",
                             state.marked->c_str(), state.staged->c_str());
                if (rollBack(update, refusedFile) && runPrevious) {
                    runBundle(update.live, argv);
                }
                return;
        }
    }
}

}  // namespace

void resumeStagedUpdate(const UpdateResume& resume, char** argv) {
    auto trial = takeTrialPipe();
    if (!trial.valid() && !anythingBesideLive({resume.live})) {
        return;  // the usual start and end: nothing to look at, no lock to take
    }
    auto attempt = InstanceLock::acquire(resume.dataFolder, resume.live);
    if (!attempt.lock) {
        return;
    }
    settle(resume, argv, trial.valid(), true);
    if (trial.valid()) {
        writeAll(trial.get(), kStarted);
    }
}

void endAgent(const AgentToEnd& agent) {
    if (auto pid = reapOrphan(agent.pidFile, agent.interpreter, agent.grace)) {
        // The agent of this very process is reaped here, so no zombie passes into the new copy.
        ::waitpid(*pid, nullptr, WNOHANG);
    }
}

}  // namespace vantrel
