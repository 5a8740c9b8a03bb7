#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "support/background_queue.h"
#include "support/build.h"
#include "support/instance_lock.h"
#include "support/paths.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// (A test build's base and its label: the release scenarios and the status menu's rows.)
TEST(Build, OnlyANonEmptyStringInTheInfoMakesATestBuild) {
    using nlohmann::json;
    for (auto info : {json::object(), json{{"VantrelAPIBase", ""}}, json{{"VantrelAPIBase", 42}}}) {
        EXPECT_TRUE(Build::of(info).isProduction()) << "expected production for " << info;
    }
}

// Whatever the XDG variables hold, every folder is absolute and has no trailing separator.
TEST(Paths, OddVariablesStillGiveAbsoluteFolders) {
    struct Case {
        const char *home, *dataHome, *stateHome;  // nullptr: unset
        fs::path support, logs;                   // empty: any absolute folder
    } cases[] = {
        {"/h", nullptr, nullptr, "/h/.local/share/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"/h", "/h/data/", "relative/ignored", "/h/data/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"/h", "/", "/s", "/Vantrel", "/s/Logs/Vantrel"},
        {"/h", "//", nullptr, "/Vantrel", {}},
        {"/h", "", "", "/h/.local/share/Vantrel", "/h/.local/state/Logs/Vantrel"},
        {"", nullptr, nullptr, {}, {}},
        {"relative", nullptr, nullptr, {}, {}},
        {"/h/", "/d/./", nullptr, "/d/Vantrel", {}},
    };
    for (const auto& c : cases) {
        const std::map<std::string_view, const char*> vars{
            {"HOME", c.home}, {"XDG_DATA_HOME", c.dataHome}, {"XDG_STATE_HOME", c.stateHome}};
        SCOPED_TRACE("HOME, XDG_DATA_HOME, XDG_STATE_HOME: " + ::testing::PrintToString(vars));
        const auto paths = Paths::from(
            [&](auto name) { return vars.contains(name) ? vars.at(name) : nullptr; }, "/bundle");
        for (const auto& path : {paths.support(), paths.logDirectory(), paths.state()}) {
            EXPECT_TRUE(path.is_absolute() && path.string().back() != '/')
                << "expected an absolute folder without a trailing separator: " << path;
        }
        EXPECT_TRUE(c.support.empty() || paths.spool() == c.support / "spool.db")
            << "expected the spool in " << c.support << ", got " << paths.spool();
        EXPECT_TRUE(c.logs.empty() || paths.log() == c.logs / "agent.log")
            << "expected the log in " << c.logs << ", got " << paths.log();
    }
}

// The fallback runtime folder in a shared /tmp is made private, or refused and left as found;
// one that others may reach (a shared folder, /tmp itself) is refused.
TEST(PrivateFolder, IsMadeOnlyThisUsersOrRefused) {
    testing::TempDir dir;
    for (const char* name : {"open", "foreign"}) {
        fs::create_directory(dir / name);
        ::chmod((dir / name).c_str(), 0777);
    }
    const bool canGiveAway = ::chown((dir / "foreign").c_str(), 4242, 4242) == 0;  // as root
    fs::create_directory_symlink(dir / "open", dir / "link");
    testing::writeFile(dir / "file", "");
    for (auto [name, usable] :
         {std::pair{"new", true}, {"open", false}, {"link", false}, {"file", false}}) {
        const auto problem = preparePrivateFolder(dir / name);
        EXPECT_EQ(problem.empty(), usable)
            << name << ": expected " << (usable ? "usable" : "refused") << ", got: " << problem;
        EXPECT_TRUE(!usable || fs::status(dir / name).permissions() == fs::perms::owner_all)
            << name << ": expected only its owner's rights";
        EXPECT_TRUE(name != std::string("open") ||
                    fs::status(dir / name).permissions() == fs::perms::all)
            << name << ": expected a folder open to others left as found";
    }
    if (canGiveAway) {
        EXPECT_EQ(preparePrivateFolder(dir / "foreign"), "it belongs to another user");
        EXPECT_EQ(fs::status(dir / "foreign").permissions(), fs::perms::all)
            << "expected another user's folder left as found";
    }
}

TEST(BackgroundQueue, ABlockedWorkerHoldsUpNoDelayedTaskWhileAnotherIsFree) {
    std::promise<void> ran, release;
    auto queue = std::make_shared<BackgroundQueue>(2);
    queue->post([gate = release.get_future().share()] { gate.wait(); });
    queue->postAfter(0.02, [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "expected the delayed task to run on the free worker";
    release.set_value();
}

// A worker that waited for itself would abort the program.
TEST(BackgroundQueue, TheLastOwnerMayLetGoInsideOneOfItsTasks) {
    std::promise<void> letGo;
    auto queue = std::make_shared<BackgroundQueue>(2);
    auto holder = std::make_shared<std::shared_ptr<BackgroundQueue>>(queue);
    queue->post([holder, &letGo] { holder->reset(), letGo.set_value(); });
    queue.reset();
    letGo.get_future().wait();
}

TEST(ChildProcess, AFailedLaunchReportsWhyAndLeavesNoChild) {
    auto failed = ChildProcess::spawn({"/nonexistent/program", {}, {}, -1});
    EXPECT_FALSE(failed.child) << "expected no child for a missing program";
    EXPECT_EQ(failed.error, ENOENT);
    siginfo_t info = {};
    EXPECT_EQ(::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT), -1) << "expected not even a zombie";
    EXPECT_EQ(errno, ECHILD);
}

// Whatever this process blocks or ignores, even the reserved signals and the last one, which a
// service manager may have left ignored. Set through the kernel: the C library's sigaction
// refuses its reserved signals.
TEST(ChildProcess, TheChildStartsWithDefaultSignals) {
    const int numbers[] = {SIGHUP, SIGPIPE, SIGRTMIN - 1, 64};
    unsigned long ignore[8] = {reinterpret_cast<unsigned long>(SIG_IGN)}, saved[4][8] = {};
    sigset_t all, savedMask;
    sigfillset(&all);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(::syscall(SYS_rt_sigaction, numbers[i], ignore, saved[i], 8), 0) << numbers[i];
    }
    ::pthread_sigmask(SIG_BLOCK, &all, &savedMask);
    testing::RunningApp cat("/bin/cat", {"/proc/self/status"}, {});
    ::pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    for (int i = 0; i < 4; ++i) {
        ::syscall(SYS_rt_sigaction, numbers[i], saved[i], nullptr, 8);
    }
    ASSERT_EQ(cat.waitForExit(), 0);
    EXPECT_THAT(cat.output(), ::testing::HasSubstr("SigBlk:\t0000000000000000\n"));
    EXPECT_THAT(cat.output(), ::testing::HasSubstr("SigIgn:\t0000000000000000\n"));
}

}  // namespace
}  // namespace vantrel
