#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <sstream>

#include "app/headless_app.h"
#include "app/launch_options.h"
#include "app/line_printer.h"
#include "app/reopen_request.h"
#include "bundle_app.h"
#include "support/notify_listener.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kQuitRequested = 0;  // an ending by a desktop start's request, not by a signal

// A pipe holding `size` bytes; at the least a pipe can (4 KiB) a reader that falls behind shows
// at once.
Pipe pipeOf(int size = 4096) {
    auto pipe = makePipe(O_CLOEXEC);
    EXPECT_EQ(::fcntl(pipe.writeEnd.get(), F_SETPIPE_SZ, size), size) << "expected a pipe's room";
    return pipe;
}

// Reads from `fd` until `last` has arrived or the writer is gone.
std::string readUntil(int fd, const std::string& last = "") {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (last.empty() || text.find(last) == std::string::npos) &&
                      (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The bundle's executable run headless, its agent paired so that readings come; its TMPDIR names a
// missing folder, which only an update may ask for.
class HeadlessAppTest : public BundleAppTest {
  protected:
    HeadlessAppTest() {
        setVariable(env, "VANTREL_SIM_PAIRED", "1");
        setVariable(env, "TMPDIR", (home / "missing").string());
    }
    // The run's exit status once it has ended, or nothing once it goes on to print a state.
    static std::optional<int> endOrFirstState(RunningApp& app) {
        eventually([&] { return app.waitForExit(0) || app.output().starts_with("Starting\u2026"); },
                   kGuard);
        return app.waitForExit(0);
    }
    // A run whose standard output and error go to `fd`.
    std::optional<ChildProcess> spawn(int fd) const {
        return ChildProcess::spawn({kExecutable, {"--headless"}, env, fd}).child;
    }
};

// However the application ends, even killed, its agent is told to stop; a signal to the
// application, or the quit of a desktop start that found it through the handover socket (taken over
// from the killed run), lets the agent end by itself with one SIGTERM, its goodbye logged before
// the exit.
TEST_F(HeadlessAppTest, PrintsEachStateAndEveryWayOfEndingStopsTheAgent) {
    const std::pair<int, int> cases[] = {
        {SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}, {kQuitRequested, 0}};
    const auto socket = home / "vantrel-agent.sock";
    for (const auto& [signal, status] : cases) {
        SCOPED_TRACE(signal == kQuitRequested ? "a desktop start's quit" : strsignal(signal));
        std::filesystem::remove(logFile());
        auto app = launch({"--headless"});
        ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
        EXPECT_TRUE(app->output().starts_with("Starting\u2026\n")) << app->output();
        EXPECT_THAT(readFile("/proc/" + std::to_string(app->pid()) + "/maps"),
                    Not(HasSubstr("libQt")))
            << "the desktop shell is a module of its own: a headless run maps no toolkit library";
        pid_t agent = agentPid().value_or(0);
        ASSERT_NE(agent, 0);
        if (signal == kQuitRequested) {
            const auto answer = requestReopen(socket, kGuard).value_or(HandoverAnswer{});
            EXPECT_EQ(answer.instance, RunningInstance::headless) << "expected the run's answer";
            EXPECT_THAT(answer.state, ::testing::StartsWith("Solar ")) << "its latest state line";
            EXPECT_TRUE(requestQuit(socket, kGuard)) << "expected the quit taken";
        } else {
            app->signal(signal);
        }
        EXPECT_EQ(app->waitForExit(kGuard), status) << app->output();
        EXPECT_TRUE(processEnds(agent)) << "expected the agent ended";
        if (signal != SIGKILL) {
            EXPECT_THAT(agentLog(),
                        ::testing::AllOf(HasSubstr("pv="),
                                         ::testing::EndsWith("SIGTERM received, stopping\n"
                                                             "vantrel-agent: goodbye\n")))
                << "readings, one SIGTERM, and the agent's last words logged before the exit";
            EXPECT_FALSE(std::filesystem::exists(pidFile())) << "the pid file of an ended agent";
            EXPECT_FALSE(std::filesystem::exists(socket)) << "the handover socket of an ended run";
        }
    }
}

// A start from another session (another runtime folder, or none) meets the running copy through
// its data folder, one from the same session through its socket, even with output nobody reads;
// each says it is already running and ends with the status that a service manager is told not to
// restart on. Under nohup, its output full, the running copy goes on after a hang-up.
TEST_F(HeadlessAppTest, OneCopyPerDataFolderWhateverTheSessionOrOutputAndNohupIsHonoured) {
    auto [readEnd, full] = pipeOf();
    ASSERT_EQ(::write(full.get(), std::string(4096, 'x').data(), 4096), 4096) << "a full pipe";
    const std::vector<std::string> nohup{"-c", "trap '' HUP; exec \"$0\" --headless", kExecutable};
    auto first = ChildProcess::spawn({"/bin/sh", nohup, env, full.get()}).child;
    const pid_t agent = waitForAgent();
    ASSERT_TRUE(first && agent != 0) << "expected the first run and its agent";
    TempDir otherRuntime;
    for (const auto& runtime : {otherRuntime.path().string(), std::string()}) {
        SCOPED_TRACE("XDG_RUNTIME_DIR=" + runtime);
        auto sandbox = env;
        std::erase(sandbox, "XDG_RUNTIME_DIR=" + home.path().string());
        if (!runtime.empty()) {
            setVariable(sandbox, "XDG_RUNTIME_DIR", runtime);
        }
        RunningApp second(kExecutable, {"--headless"}, sandbox);
        const auto status = endOrFirstState(second);
        EXPECT_EQ(status, kExitAlreadyRunning)
            << "expected the second copy to end at once, not to go on: " << second.output();
        EXPECT_THAT(second.output(), HasSubstr("Vantrel Agent is already running."));
        if (!status) {
            first->signal(SIGTERM);  // nor would a start unable to say so end
            return;
        }
    }
    auto unread = spawn(full.get());
    ASSERT_TRUE(unread && processEnds(unread->pid())) << "expected a start unable to say so to end";
    EXPECT_EQ(unread->wait(), kExitAlreadyRunning);
    const auto lines = [&] { return std::ranges::count(agentLog(), '\n'); };
    const auto before = lines();
    first->signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return lines() >= before + 3; }, kGuard))
        << "the agent goes on reading after a hang-up ignored at start";
    EXPECT_THAT(agentLog(), Not(HasSubstr("stopping"))) << "nothing was stopped by it";
    first->signal(SIGTERM);
    ASSERT_TRUE(processEnds(first->pid())) << "expected the first run to end on a signal";
    EXPECT_EQ(first->wait(), 0);
    EXPECT_TRUE(processEnds(agent)) << "expected the agent ended";
}

// Standard descriptors closed at start are not taken by the run's own files and pipes, which
// would receive what it prints.
TEST_F(HeadlessAppTest, ClosedStandardDescriptorsAreFilledWithTheNullDevice) {
    const std::vector<std::string> closed{"-c", "exec \"$0\" --headless <&- >&- 2>&-", kExecutable};
    auto run = ChildProcess::spawn({"/bin/sh", closed, env, -1}).child;
    ASSERT_TRUE(run && waitForAgent() != 0) << "expected the run and its agent";
    for (int fd : {0, 1, 2}) {
        auto path = "/proc/" + std::to_string(run->pid()) + "/fd/" + std::to_string(fd);
        EXPECT_EQ(std::filesystem::read_symlink(path).string(), "/dev/null") << "descriptor " << fd;
    }
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0) << "expected the run to end on SIGTERM";
}

// A start that cannot go on says why, in its own words, and touches nothing.
TEST_F(HeadlessAppTest, AStartThatCannotGoOnSaysWhy) {
    writeFile(home / "file", "x");
    std::filesystem::create_directories(home / "data/Vantrel/vantrel-agent.lock");
    const std::string file = (home / "file").string(), data = (home / "data").string();
    const std::pair<std::string, std::string> cases[] = {
        {file, "Vantrel Agent cannot start\nIt could not create its folder in " + file + ": "},
        {data, "Vantrel Agent cannot use the data folder " + data + "/Vantrel: "},
    };
    for (const auto& [dataHome, says] : cases) {
        SCOPED_TRACE("XDG_DATA_HOME=" + dataHome);
        setVariable(env, "XDG_DATA_HOME", dataHome);
        auto app = launch({"--headless"});
        EXPECT_EQ(app->waitForExit(kGuard), 1);
        EXPECT_THAT(app->output(), HasSubstr(says));
        EXPECT_THAT(app->output(), Not(HasSubstr("already running")));
        EXPECT_FALSE(std::filesystem::exists(logFile())) << "expected no agent started";
    }
}

// A runtime folder that another user owns (the shared fallback, made first by someone else) gets
// no handover socket: its owner could swap in a socket of their own and answer desktop starts.
TEST_F(HeadlessAppTest, MakesNoHandoverSocketInARuntimeFolderAnotherUserOwns) {
    TempDir others;
    if (::chown(others.path().c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "only root can give a folder away";
    }
    setVariable(env, "XDG_RUNTIME_DIR", others.path().string());
    auto app = launch({"--headless"});
    ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
    EXPECT_FALSE(std::filesystem::exists(others.path() / "vantrel-agent.sock"))
        << "expected no socket in a folder of another user";
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0);
}

// Under a service manager: each state is the status, readiness once the agent is launched, the
// stop announced; the journal's lines carry priorities and a reading's new values are held back.
TEST_F(HeadlessAppTest, UnderAServiceManagerItReportsReadinessStatusAndStopAndPacesItsJournal) {
    NotifyListener manager((home / "notify").string());
    ASSERT_TRUE(manager.bound());
    setVariable(env, "NOTIFY_SOCKET", manager.name());
    auto [readEnd, writeEnd] = pipeOf(65536);
    struct stat journal {};
    ASSERT_EQ(::fstat(writeEnd.get(), &journal), 0);
    setVariable(env, "JOURNAL_STREAM",
                std::to_string(journal.st_dev) + ":" + std::to_string(journal.st_ino));
    auto app = spawn(writeEnd.get());
    ASSERT_TRUE(app);
    writeEnd.reset();
    const auto isReading = [](const std::string& m) { return m.starts_with("STATUS=Solar "); };
    ASSERT_TRUE(eventually(
        [&] { return std::ranges::count_if(manager.messages(0.1), isReading) >= 3; }, kGuard))
        << "expected three readings as the status\n"
        << ::testing::PrintToString(manager.messages());
    const auto answer = requestReopen(home / "vantrel-agent.sock", kGuard);
    EXPECT_EQ(answer.value_or(HandoverAnswer{}).instance, RunningInstance::service)
        << "expected a desktop start told that a service runs";
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(), 0);
    const auto& messages = manager.messages();
    EXPECT_EQ(messages.front(), "STATUS=Starting\u2026");
    const auto ready = std::ranges::find(messages, "READY=1");
    ASSERT_NE(ready, messages.end());
    EXPECT_TRUE(std::none_of(messages.begin(), ready, isReading)) << "ready before any reading";
    EXPECT_EQ(messages.back(), "STOPPING=1");
    const auto lines = linesOf(readUntil(readEnd.get()));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "<6>Starting\u2026");
    const auto journalReadings = std::ranges::count_if(
        lines, [](const auto& line) { return line.starts_with("<6>Solar "); });
    EXPECT_EQ(journalReadings + 1, std::ssize(lines))
        << "only state lines, each marked: " << ::testing::PrintToString(lines);
    EXPECT_LT(journalReadings, std::ranges::count_if(messages, isReading))
        << "expected a reading's new values held back";
}

// A reader that falls behind (room for 256 bytes waiting) gets whole lines in order, always ending
// with the latest. (One that reads at once, or never: the headless runs.)
TEST(LinePrinterTest, AReaderThatFallsBehindGetsWholeLinesInOrderEndingWithTheLatest) {
    auto [slowEnd, slowWriteEnd] = pipeOf();
    LinePrinter printer(slowWriteEnd.get(), 256);
    for (int i = 0; i < 10000; ++i) {
        printer.print("line " + std::to_string(i));
    }
    const std::string text = readUntil(slowEnd.get(), "line 9999\n");
    ASSERT_TRUE(text.ends_with("\nline 9999\n")) << text.substr(text.size() - 100);
    int previous = -1;
    for (const auto& line : linesOf(text)) {
        ASSERT_TRUE(line.starts_with("line ")) << line;
        EXPECT_GT(std::stoi(line.substr(5)), previous) << "expected the lines in order";
        previous = std::stoi(line.substr(5));
    }
    EXPECT_LT(text.size(), 10000u * 8) << "the lines waiting were folded";
}

// What the arguments give, with a display or without: "h" headless, "l" login item, "?" help, "v"
// version; "! " and the error when they are refused. (Each option alone: the runs of the program.)
TEST(LaunchOptionsTest, ParsesKnownOptionsAndRefusesEverythingElse) {
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        {{}, true, ""},
        {{}, false, "h"},
        {{"-h"}, true, "?"},
        {{"--headless", "--login-item"}, true, "hl"},
        {{"--headles"}, true, "! unknown option --headles"},
        {{"--headless=yes"}, true, "! unknown option --headless=yes"},
        {{"foo", "bar"}, true, "! unexpected argument foo"},
        {{"--headless", "foo"}, false, "! unexpected argument foo"},
        {{"-"}, true, "! unknown option -"},
    };
    for (const auto& [arguments, hasDisplay, expected] : cases) {
        std::string error;
        auto options = LaunchOptions::parse(arguments, hasDisplay, error);
        std::string gives = "! " + error;
        if (options) {
            gives = std::string(options->headless ? "h" : "") + (options->loginItem ? "l" : "") +
                    (options->help ? "?" : "") + (options->version ? "v" : "");
        }
        EXPECT_EQ(gives, expected) << ::testing::PrintToString(arguments);
    }
}

// The real executable: its exit status, and what reaches standard output ("" for nothing at all)
// when standard error is thrown away; a refused argument's usage goes to standard error.
TEST(CommandLineTest, VersionAndHelpExitZeroAndAnythingUnknownGivesTheUsageOnStandardError) {
    const std::tuple<std::vector<std::string>, std::string, int, std::string> cases[] = {
        {{"--version"}, "2>/dev/null", 0, "Vantrel Agent " VANTREL_BUNDLE_VERSION "\n"},
        {{"--help"}, "2>/dev/null", 0, "usage: VantrelAgent"},
        {{"--version"}, ">/dev/full", 1, "could not be written: No space left on device\n"},
        {{"--help"}, ">&-", 1, "could not be written: Bad file descriptor\n"},
        {{"-V"}, "2>/dev/null", 2, ""},
        {{"foo"}, "", 2, "unexpected argument foo\nusage: VantrelAgent"},
    };
    for (auto [arguments, redirect, status, shows] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments) + " " + redirect);
        arguments.insert(arguments.begin(), {"-c", "exec \"$0\" \"$@\" " + redirect, kExecutable});
        RunningApp app("/bin/sh", arguments, currentEnvironment());  // the program's own home
        EXPECT_EQ(app.waitForExit(), status);
        EXPECT_TRUE(shows.empty() ? app.output().empty()
                                  : app.output().find(shows) != std::string::npos)
            << "expected " << (shows.empty() ? "nothing" : shows) << ", got: " << app.output();
    }
}

}  // namespace
}  // namespace vantrel::testing
