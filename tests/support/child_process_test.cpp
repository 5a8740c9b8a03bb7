#include "support/child_process.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "support/running_app.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;

// Whatever this process blocks or ignores, the C library's own signals included (a service
// manager may leave those ignored), the child starts with every signal unblocked and at its
// default.
TEST(ChildProcess, TheChildStartsWithDefaultSignals) {
    struct sigaction ignore = {}, savedHup = {}, savedPipe = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &ignore, &savedHup);
    ::sigaction(SIGPIPE, &ignore, &savedPipe);
    // The C library refuses its reserved signals, so ignore the first one through the kernel.
    const int reserved = SIGRTMIN - 1;
    unsigned long ignoreReserved[8] = {reinterpret_cast<unsigned long>(SIG_IGN)};
    unsigned long savedReserved[8] = {};
    ASSERT_EQ(::syscall(SYS_rt_sigaction, reserved, ignoreReserved, savedReserved, 8), 0);
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &saved);

    testing::RunningApp cat("/bin/cat", {"/proc/self/status"}, {});

    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::syscall(SYS_rt_sigaction, reserved, savedReserved, nullptr, 8);
    ::sigaction(SIGHUP, &savedHup, nullptr);
    ::sigaction(SIGPIPE, &savedPipe, nullptr);
    ASSERT_TRUE(cat.waitForOutput("SigCgt:"));  // the lines before it are complete
    EXPECT_THAT(cat.output(), HasSubstr("SigBlk:\t0000000000000000\n"));
    EXPECT_THAT(cat.output(), HasSubstr("SigIgn:\t0000000000000000\n"));
}

// A launch that fails reports the system's reason and leaves no child behind, not even a zombie.
TEST(ChildProcess, AFailedLaunchReportsWhyAndLeavesNoChild) {
    auto started = ChildProcess::spawn({"/nonexistent/program", {}, {}, -1});
    EXPECT_FALSE(started.child);
    EXPECT_EQ(started.error, ENOENT);
    siginfo_t info = {};
    // Waits for any child at all: with none, it fails at once.
    EXPECT_EQ(::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT), -1);
    EXPECT_EQ(errno, ECHILD);
}

// The parent-death signal follows the thread that spawned the child: when that thread ends, the
// child is told.
TEST(ChildProcess, TheChildIsToldWhenItsParentEnds) {
    std::optional<ChildProcess> child;
    std::thread([&] {
        auto started = ChildProcess::spawn({.executable = "/bin/sleep",
                                            .arguments = {"600"},
                                            .environment = {},
                                            .output = -1,
                                            .parentDeathSignal = SIGTERM});
        child = std::move(started.child);
    }).join();
    ASSERT_TRUE(child);
    ASSERT_TRUE(testing::processEnds(child->pid()));
    EXPECT_EQ(child->wait(), SIGTERM);
}

}  // namespace
}  // namespace vantrel
