#include <string.h>

#include <gmock/gmock.h>

#include <regex>

#include "app/headless_app.h"
#include "bundle_app.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Value;
using namespace std::string_literals;

// An X server of the test's own, which a test may end.
struct OwnDisplay {
    // ":N", or empty when the server did not start; warnings may come before the number.
    std::string name() const {
        std::smatch number;
        eventually([&] { return std::regex_search(output = server.output(), number, line); });
        return number.empty() ? "" : ":" + number[2].str();
    }
    void end() { server.signal(SIGTERM), server.waitForExit(kGuard); }

    const std::regex line{"(^|\n)([0-9]+)\n"};
    mutable std::string output;
    // Without -noreset the server resets when its last client goes, refusing connections a while.
    RunningApp server{
        "/usr/bin/Xvfb",
        {"-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24"},
        currentEnvironment()};
};

// The bundle's executable as a desktop application on a display of its own.
class DesktopAppTest : public BundleAppTest {
  protected:
    DesktopAppTest() {
        setVariable(env, "DISPLAY", display.name());
        setVariable(env, "QT_QPA_PLATFORM", "xcb");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    OwnDisplay display;
};

// Every signal that ends the application, and at last the end of its display (signal 0, with
// whatever status), stops the agent.
TEST_F(DesktopAppTest, EverySignalThatEndsTheApplicationStopsTheAgent) {
    ASSERT_FALSE(display.name().empty()) << display.output;
    const std::pair<int, std::optional<int>> cases[] = {
        {SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}, {0, std::nullopt}};
    for (const auto& [signal, expected] : cases) {
        SCOPED_TRACE(signal ? strsignal(signal) : "display");
        std::filesystem::remove(pidFile());
        auto app = launch({"--login-item"});
        pid_t agent = waitForAgent();
        ASSERT_NE(agent, 0) << app->output();
        signal ? app->signal(signal) : display.end();
        auto status = app->waitForExit(kGuard);
        EXPECT_TRUE(expected ? status == expected : status.has_value()) << app->output();
        EXPECT_TRUE(processEnds(agent)) << "expected the agent ended";
    }
}

using DesktopFallbackTest = BundleAppTest;

// Where no platform opens a display (an X display nobody serves, a Wayland socket that is not
// there) the start says why on standard error and supervises the agent headless, printing its
// state lines, until a signal ends it.
TEST_F(DesktopFallbackTest, WhereNoDisplayOpensTheStartSaysWhyAndRunsHeadless) {
    setVariable(env, "DISPLAY", ":" + std::to_string(::getpid() % 1000 + 5000));
    setVariable(env, "WAYLAND_DISPLAY", "no-such-compositor");
    setVariable(env, "QT_QPA_PLATFORM", "");
    auto app = launch({});
    ASSERT_TRUE(app->waitForOutput("Waiting to be paired", kGuard)) << app->output();
    EXPECT_THAT(app->output(), HasSubstr("the desktop cannot start ("));
    EXPECT_THAT(app->output(), HasSubstr("); running headless\n"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(kGuard), 0) << app->output();
}

// A second start hands over to the running one (which took over a dead instance's socket): its
// setup window opens; one at login or a headless one changes nothing. An application killed leaves
// an agent that ignores SIGTERM behind, and the next start, by the user, ends it and opens its own.
TEST_F(DesktopAppTest, ASecondStartHandsOverAndTheNextStartEndsAnAgentLeftRunning) {
    // Serves the fixed agent port, where the setup window loads its page, and logs each request.
    PythonServer page({}, 8787,
                      "import http.server as h, os\nh.HTTPServer(('127.0.0.1', int(os.environ["
                      "'VANTREL_SIM_PORT'])), h.SimpleHTTPRequestHandler).serve_forever()\n");
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    const auto pages = [&] {  // the setup windows' loads so far
        return std::ranges::distance(page.output() | std::views::split("GET /"s)) - 1;
    };
    setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
    writeFile(home / "vantrel-agent.sock", "left by an instance that died");
    auto first = launch({"--login-item"});
    ASSERT_TRUE(eventually([&] { return Value(agentLog(), HasSubstr("Waiting to be paired")); }))
        << first->output();
    for (int request = 0; request < 2; ++request) {
        EXPECT_EQ(launch({})->waitForExit(kGuard), 0) << "a second start, handing over";
    }
    EXPECT_TRUE(eventually([&] { return pages() > 0; }, kGuard)) << "expected its setup window";
    EXPECT_EQ(launch({"--login-item"})->waitForExit(kGuard), 0) << "a second start at login";
    auto headless = launch({"--headless"});
    EXPECT_EQ(headless->waitForExit(kGuard), kExitAlreadyRunning);
    EXPECT_THAT(headless->output(), HasSubstr("already running"));
    EXPECT_FALSE(first->waitForExit(0)) << "the first one runs on";
    pid_t orphan = waitForAgent();
    first->signal(SIGKILL);
    EXPECT_EQ(first->waitForExit(kGuard), SIGKILL);
    EXPECT_FALSE(processEnds(orphan, 0)) << "the agent, ignoring the SIGTERM of its parent's end, "
                                            "outlives the killed application";
    const auto loads = pages();
    auto next = launch({});
    EXPECT_TRUE(processEnds(orphan)) << "expected the next start to end the agent left running";
    EXPECT_TRUE(eventually([&] { return pages() > loads; }, kGuard))
        << "expected its setup window to load the page: " << next->output();
    EXPECT_TRUE(eventually([&] { return agentPid().value_or(orphan) != orphan; }));
    auto current = agentPid();
    next->signal(SIGTERM);
    EXPECT_EQ(next->waitForExit(kGuard), 0);
    if (current) {
        ::kill(*current, SIGKILL);  // it ignores SIGTERM too
    }
}

}  // namespace
}  // namespace vantrel::testing
