#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "app/headless_app.h"
#include "app/launch_options.h"
#include "app/line_printer.h"
#include "app/reopen_request.h"
#include "bundle_app.h"
#include "support/notify_listener.h"

namespace vantrel::testing {
namespace {

using namespace std::string_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// A pipe holding the least a pipe can (4 KiB): a reader that falls behind shows at once.
std::pair<UniqueFd, UniqueFd> smallPipe() {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// The bundle's executable run headless, its agent paired so that readings come; its TMPDIR names a
// missing folder, which only an update may ask for.
class HeadlessAppTest : public BundleAppTest {
  protected:
    HeadlessAppTest() {
        setVariable(env, "VANTREL_SIM_PAIRED", "1");
        setVariable(env, "TMPDIR", (home / "missing").string());
    }
};

// However the application ends, even killed, its agent is told to stop; a signal to the application
// lets the agent end by itself with one SIGTERM, its goodbye logged before the application exits.
TEST_F(HeadlessAppTest, PrintsEachStateAndEveryWayOfEndingStopsTheAgent) {
    const std::pair<int, int> cases[] = {
        {SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}};
    const auto log = home / "state/Logs/Vantrel/agent.log";
    for (const auto& [signal, status] : cases) {
        SCOPED_TRACE(strsignal(signal));
        std::filesystem::remove(log);
        auto app = launch({"--headless"});
        ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
        EXPECT_EQ(app->output().rfind("Starting\u2026\n", 0), 0u) << app->output();
        // The desktop shell is a module of its own: a headless run maps no toolkit library.
        EXPECT_THAT(readFile("/proc/" + std::to_string(app->pid()) + "/maps"),
                    Not(HasSubstr("libQt")));
        pid_t agent = agentPid().value_or(0);
        ASSERT_NE(agent, 0);
        app->signal(signal);
        EXPECT_EQ(app->waitForExit(kGuard), status) << app->output();
        EXPECT_TRUE(processEnds(agent));
        if (signal != SIGKILL) {
            EXPECT_THAT(readFile(log), HasSubstr("pv=")) << "the agent's readings";
            EXPECT_THAT(readFile(log),
                        ::testing::EndsWith("vantrel-agent: SIGTERM received, stopping\n"
                                            "vantrel-agent: goodbye\n"))
                << "one SIGTERM, and the agent's last words logged before the exit";
            EXPECT_FALSE(std::filesystem::exists(pidFile())) << "the pid file of an ended agent";
        }
    }
}

// A start from another session (another runtime folder, or none) meets the running copy through
// its data folder, says it is already running and ends with the status that a service manager is
// told not to restart on; under nohup a hang-up is ignored.
TEST_F(HeadlessAppTest, OneCopyPerDataFolderWhateverTheSessionAndNohupIsHonoured) {
    std::vector<std::string> arguments = {"-c", "trap '' HUP; exec \"$0\" --headless", kExecutable};
    RunningApp first("/bin/sh", arguments, env);
    ASSERT_TRUE(first.waitForOutput("Solar ", kGuard)) << first.output();
    TempDir otherRuntime;
    for (const auto& runtime : {otherRuntime.path().string(), std::string()}) {
        SCOPED_TRACE("XDG_RUNTIME_DIR=" + runtime);
        auto sandbox = env;
        std::erase_if(sandbox, [](const std::string& entry) {
            return entry.starts_with("XDG_RUNTIME_DIR=");
        });
        if (!runtime.empty()) {
            setVariable(sandbox, "XDG_RUNTIME_DIR", runtime);
        }
        RunningApp second(kExecutable, {"--headless"}, sandbox);
        EXPECT_EQ(second.waitForExit(kGuard), kExitAlreadyRunning);
        EXPECT_THAT(second.output(), HasSubstr("Vantrel Agent is already running."));
    }
    const auto log = home / "state/Logs/Vantrel/agent.log";
    const auto readings = [&] {
        const std::string text = readFile(log);
        size_t count = 0;
        for (size_t at = text.find("pv="); at != std::string::npos; at = text.find("pv=", at + 1)) {
            ++count;
        }
        return count;
    };
    const auto before = readings();
    first.signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return readings() >= before + 3; }, kGuard))
        << "the agent goes on reading after a hang-up ignored at start";
    EXPECT_THAT(readFile(log), Not(HasSubstr("stopping"))) << "nothing was stopped by it";
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(kGuard), 0) << first.output();
}

// A start that cannot go on says why, in its own words, and touches nothing.
TEST_F(HeadlessAppTest, AStartThatCannotGoOnSaysWhy) {
    writeFile(home / "file", "x");
    const std::string file = (home / "file").string();
    const std::string data = (home / "data").string();
    std::filesystem::create_directories(home / "data/Vantrel/vantrel-agent.lock");
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"XDG_DATA_HOME", file,
         "Vantrel Agent cannot start\nIt could not create its folder in " + file + ": "},
        {"XDG_DATA_HOME", data, "Vantrel Agent cannot use the data folder " + data + "/Vantrel: "},
    };
    const auto sandbox = env;
    for (const auto& [variable, value, says] : cases) {
        SCOPED_TRACE(std::string(variable) + "=" + value);
        env = sandbox;
        setVariable(env, variable, value);
        auto app = launch({"--headless"});
        EXPECT_EQ(app->waitForExit(kGuard), 1);
        EXPECT_THAT(app->output(), HasSubstr(says));
        EXPECT_THAT(app->output(), Not(HasSubstr("already running")));
        EXPECT_FALSE(std::filesystem::exists(home / "state/Logs/Vantrel/agent.log"));
    }
}

// A desktop start finds the headless run through the handover socket: its kind and state line,
// and a quit that ends it as a signal does.
TEST_F(HeadlessAppTest, ADesktopStartLearnsTheStateOfTheHeadlessRunAndCanAskItToQuit) {
    auto app = launch({"--headless"});
    ASSERT_TRUE(app->waitForOutput("Solar ", kGuard)) << app->output();
    pid_t agent = waitForAgent();
    auto answer = requestReopen(home / "vantrel-agent.sock", kGuard);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->instance, RunningInstance::headless);
    EXPECT_TRUE(answer->state.starts_with("Solar ")) << answer->state;
    EXPECT_TRUE(requestQuit(home / "vantrel-agent.sock", kGuard));
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
    EXPECT_TRUE(processEnds(agent));
    EXPECT_FALSE(std::filesystem::exists(home / "vantrel-agent.sock"));
}

// Standard output and error that nobody reads fill up; the application still says it is already
// running and ends, and still quits on a signal.
TEST_F(HeadlessAppTest, OutputStreamsNobodyReadsHoldNothingUp) {
    auto [readEnd, writeEnd] = smallPipe();
    ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK);
    while (::write(writeEnd.get(), "xxxxxxxx", 8) > 0) {
    }
    ::fcntl(writeEnd.get(), F_SETFL, 0);
    auto started = ChildProcess::spawn({kExecutable, {"--headless"}, env, writeEnd.get()});
    ASSERT_TRUE(started.child);
    pid_t agent = waitForAgent();
    ASSERT_NE(agent, 0);
    auto second = ChildProcess::spawn({kExecutable, {"--headless"}, env, writeEnd.get()});
    ASSERT_TRUE(second.child);
    EXPECT_EQ(second.child->wait(), kExitAlreadyRunning)
        << "the second start, unable to say so, still ends";
    started.child->signal(SIGTERM);
    ASSERT_TRUE(processEnds(started.child->pid()));
    EXPECT_EQ(started.child->wait(), 0);
    EXPECT_TRUE(processEnds(agent));
}

// Reads from `fd` until `last` has arrived (or the writer is gone).
std::string readUntil(int fd, const std::string& last) {
    std::string text;
    char buffer[4096];
    for (ssize_t got;
         text.find(last) == std::string::npos && (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// Under a service manager: each state is the status, readiness once the agent is launched, the
// stop announced; the journal's lines carry priorities and a reading's new values are held back.
TEST_F(HeadlessAppTest, UnderAServiceManagerItReportsReadinessStatusAndStopAndPacesItsJournal) {
    NotifyListener manager((home / "notify").string());
    ASSERT_TRUE(manager.bound());
    setVariable(env, "NOTIFY_SOCKET", manager.name());
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    struct stat journal {};
    ASSERT_EQ(::fstat(writeEnd.get(), &journal), 0);
    setVariable(env, "JOURNAL_STREAM",
                std::to_string(journal.st_dev) + ":" + std::to_string(journal.st_ino));
    auto started = ChildProcess::spawn({kExecutable, {"--headless"}, env, writeEnd.get()});
    ASSERT_TRUE(started.child);
    writeEnd.reset();
    const auto isReading = [](const std::string& message) {
        return message.starts_with("STATUS=Solar ");
    };
    const auto readings = [&] {  // how many values the status has shown
        std::set<std::string> seen;
        const auto& messages = manager.messages();
        std::copy_if(messages.begin(), messages.end(), std::inserter(seen, seen.end()), isReading);
        return seen.size();
    };
    ASSERT_TRUE(eventually([&] { return manager.messages(0.1), readings() >= 3; }, kGuard))
        << ::testing::PrintToString(manager.messages());
    started.child->signal(SIGTERM);
    EXPECT_EQ(started.child->wait(), 0);
    const auto& messages = manager.messages();
    EXPECT_EQ(messages.front(), "STATUS=Starting\u2026");
    const auto ready = std::find(messages.begin(), messages.end(), "READY=1");
    ASSERT_NE(ready, messages.end());
    EXPECT_TRUE(std::none_of(messages.begin(), ready, isReading)) << "ready before any reading";
    EXPECT_EQ(messages.back(), "STOPPING=1");
    std::istringstream journalLines(readUntil(readEnd.get(), "end of file"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(journalLines, line);) {
        lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "<6>Starting\u2026");
    const auto journalReadings = std::count_if(
        lines.begin(), lines.end(), [](const auto& line) { return line.starts_with("<6>Solar "); });
    EXPECT_EQ(journalReadings + 1, static_cast<long>(lines.size()))
        << "only state lines, each marked: " << ::testing::PrintToString(lines);
    EXPECT_LT(static_cast<size_t>(journalReadings), readings()) << "new values held back";
}

// Whole lines, NULs and all; with a reader that falls behind (room for 256 bytes waiting), whole
// lines in order, always ending with the latest; with one that never reads, neither printing nor
// the end of the printer waits.
TEST(LinePrinterTest, PrintsTheWholeTextOfEachLine) {
    auto [readEnd, writeEnd] = smallPipe();
    LinePrinter whole(writeEnd.get());
    whole.print("Solar\0 1 kW"s);
    whole.print("caf\u00E9");
    EXPECT_EQ(readUntil(readEnd.get(), "caf\u00E9\n"), "Solar\0 1 kW\ncaf\u00E9\n"s);
    for (bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "AReaderThatFallsBehindGetsWholeLinesEndingWithTheLatest"
                           : "AReaderThatNeverReadsHoldsNothingUp");
        auto ends = smallPipe();
        std::optional<LinePrinter> printer(std::in_place, ends.second.get(), 256);
        for (int i = 0; i < 10000; ++i) {
            printer->print("line " + std::to_string(i));
        }
        if (!reads) {
            continue;  // the printer ends here
        }
        std::string text = readUntil(ends.first.get(), "line 9999\n");
        ASSERT_TRUE(text.ends_with("\nline 9999\n")) << text.substr(text.size() - 100);
        std::istringstream lines(text);
        int previous = -1;
        for (std::string line; std::getline(lines, line); previous = std::stoi(line.substr(5))) {
            ASSERT_TRUE(line.starts_with("line ")) << line;
            EXPECT_GT(std::stoi(line.substr(5)), previous);
        }
        EXPECT_LT(text.size(), 10000u * 8) << "the lines waiting were folded";
    }
}

// What the arguments give: "h" headless, "l" login item, "?" help, "v" version; "! " and the
// error when they are refused.
TEST(LaunchOptionsTest, ParsesKnownOptionsAndRefusesEverythingElse) {
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        // arguments, display
        {{}, true, ""},
        {{}, false, "h"},
        {{"--headless"}, true, "h"},
        {{"--login-item"}, true, "l"},
        {{"--help"}, true, "?"},
        {{"-h"}, true, "?"},
        {{"--version"}, true, "v"},
        {{"--headless", "--login-item"}, true, "hl"},
        {{"-V"}, true, "! unknown option -V"},
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

// The real executable: its exit status, and what reaches standard output (a part of it; "" for
// nothing at all) when standard error is thrown away.
TEST(CommandLineTest, VersionAndHelpExitZeroAndAnythingUnknownGivesTheUsageOnStandardError) {
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--version"}, 0, "Vantrel Agent " VANTREL_BUNDLE_VERSION "\n"},
        {{"--help"}, 0, "usage: VantrelAgent"},
        {{"-V"}, 2, ""},
        {{"--headless", "--verbose"}, 2, ""},
    };
    TempDir home;
    for (const auto& [given, status, shows] : cases) {
        SCOPED_TRACE(::testing::PrintToString(given));
        std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>/dev/null", kExecutable};
        arguments.insert(arguments.end(), given.begin(), given.end());
        RunningApp app("/bin/sh", arguments, sandboxedEnvironment(home.path()));
        EXPECT_EQ(app.waitForExit(), status);
        EXPECT_TRUE(shows.empty() ? app.output().empty()
                                  : app.output().find(shows) != std::string::npos)
            << app.output();
    }
    RunningApp refused(kExecutable, {"foo"}, sandboxedEnvironment(home.path()));
    EXPECT_EQ(refused.waitForExit(), 2);
    EXPECT_THAT(refused.output(), HasSubstr("unexpected argument foo\nusage: VantrelAgent"));
}

}  // namespace
}  // namespace vantrel::testing
