#include <string.h>

#include <gmock/gmock.h>

#include "bundle_app.h"

namespace vantrel::testing {
namespace {

// The bundle's executable as a desktop application on a display of its own, started as at login
// (no window opens).
class DesktopEndingTest : public BundleAppTest {
  protected:
    DesktopEndingTest() {
        setVariable(env, "DISPLAY", display.name());
        setVariable(env, "QT_QPA_PLATFORM", "xcb");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    OwnDisplay display;
};
using TrayProcessTest = DesktopEndingTest;

// Every signal that ends the application, and at last the end of its display, stops the agent.
TEST_F(DesktopEndingTest, EverySignalThatEndsTheApplicationStopsTheAgent) {
    ASSERT_FALSE(display.name().empty());
    const struct {
        int signal;  // 0: the display ends
        std::optional<int> status;
    } cases[] = {{SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}, {0, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal ? strsignal(c.signal) : "display");
        std::filesystem::remove(pidFile());
        auto app = launch({"--login-item"});
        pid_t agent = waitForAgent();
        ASSERT_NE(agent, 0) << app->output();
        c.signal ? app->signal(c.signal) : display.end();
        auto status = app->waitForExit(kGuard);
        EXPECT_TRUE(status) << app->output();
        if (c.status) {
            EXPECT_EQ(status, c.status) << app->output();
        }
        EXPECT_TRUE(processEnds(agent));
    }
}

// Serves the fixed agent port, where the setup window loads its page, and logs each request.
const char* const kPageServer =
    "import http.server, os\n"
    "http.server.HTTPServer(('127.0.0.1', int(os.environ['VANTREL_SIM_PORT'])),\n"
    "                       http.server.SimpleHTTPRequestHandler).serve_forever()\n";

// A second start hands over to the running one, which took over the socket a dead instance left and
// acknowledges each request by opening its setup window; one at login or a headless one changes
// nothing. Quitting does not wait for an agent that ignores SIGTERM, and the next start ends it.
TEST_F(TrayProcessTest, ASecondStartHandsOverAndTheNextStartEndsAnAgentLeftRunning) {
    PythonServer page({}, 8787, kPageServer);
    ASSERT_TRUE(page.waitUntilListening()) << page.output();
    setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
    writeFile(home / "vantrel-agent.sock", "left by an instance that died");
    auto first = launch({"--login-item"});
    ASSERT_TRUE(eventually([&] {
        return readFile(home / "state/Logs/Vantrel/agent.log").find("Waiting to be paired") !=
               std::string::npos;
    })) << first->output();
    for (int request = 0; request < 2; ++request) {
        auto second = launch({});
        EXPECT_EQ(second->waitForExit(kGuard), 0) << second->output();
    }
    EXPECT_TRUE(
        eventually([&] { return page.output().find("GET /") != std::string::npos; }, kGuard))
        << first->output();
    EXPECT_EQ(launch({"--login-item"})->waitForExit(kGuard), 0);
    auto headless = launch({"--headless"});
    EXPECT_EQ(headless->waitForExit(kGuard), 1);
    EXPECT_THAT(headless->output(), ::testing::HasSubstr("already running"));
    EXPECT_FALSE(first->waitForExit(0)) << "the first one runs on";

    pid_t orphan = waitForAgent();
    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(kGuard), 0) << "the application does not hang";
    EXPECT_EQ(::kill(orphan, 0), 0) << "the agent outlives the application";
    auto next = launch({"--login-item"});
    EXPECT_TRUE(processEnds(orphan));
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
