#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

// Bounds on waiting for real processes: only a hang ends there; nothing is timed against them.
constexpr double kGuard = 120;

// An X server of the test's own, so that the test can end the display under the application.
class OwnDisplay {
  public:
    OwnDisplay() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        auto started = ChildProcess::spawn(
            {"/bin/sh",
             {"-c",
              "exec Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>&1 >/dev/null 2>&1"},
             currentEnvironment(),
             writeEnd.get()});
        writeEnd.reset();
        if (!started.child) {
            return;
        }
        server_ = std::move(started.child);
        std::string number;
        char c;
        while (::read(readEnd.get(), &c, 1) == 1 && c != '\n') {
            number += c;
        }
        name_ = ":" + number;
    }

    ~OwnDisplay() { end(); }

    // Empty when the server did not start.
    const std::string& name() const { return name_; }

    void end() {
        if (server_ && server_->signal(SIGTERM)) {
            server_->wait();
        }
        server_.reset();
    }

  private:
    std::optional<ChildProcess> server_;
    std::string name_;
};

// The real bundle's executable as a desktop application on its own display, started as at login
// (no window opens).
class DesktopEndingTest : public ::testing::Test {
  protected:
    std::unique_ptr<testing::RunningApp> launch() {
        std::filesystem::remove(home / "share/Vantrel/agent.pid");
        auto env = testing::sandboxedEnvironment(home.path());
        setVariable(env, "DISPLAY", display.name());
        setVariable(env, "QT_QPA_PLATFORM", "xcb");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
        setVariable(env, "VANTREL_SIM_INTERVAL", "0.2");
        return std::make_unique<testing::RunningApp>(
            std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent",
            std::vector<std::string>{"--login-item"}, env);
    }

    // The agent's pid once it has been launched, which happens after the signals are in hand.
    pid_t waitForAgent() {
        auto pidFile = home / "share/Vantrel/agent.pid";
        testing::eventually([&] { return readPidFile(pidFile).has_value(); }, kGuard);
        return readPidFile(pidFile).value_or(0);
    }

    testing::AdoptOrphans adopt;  // the agents of ended applications come here, to be awaited
    testing::TempDir home;
    OwnDisplay display;
};

// Every signal that ends the application, and at last the end of its display (the row that was
// TheEndOfTheDisplayStopsTheAgent), stops the agent.
TEST_F(DesktopEndingTest, EverySignalThatEndsTheApplicationStopsTheAgent) {
    ASSERT_FALSE(display.name().empty());
    struct Case {
        int signal;  // 0: the display ends
        std::optional<int> status;
    } cases[] = {{SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {SIGKILL, SIGKILL}, {0, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal ? strsignal(c.signal) : "display");
        auto app = launch();
        pid_t agent = waitForAgent();
        ASSERT_NE(agent, 0) << app->output();
        c.signal ? app->signal(c.signal) : display.end();
        auto status = app->waitForExit(kGuard);
        EXPECT_TRUE(status) << app->output();
        if (c.status) {
            EXPECT_EQ(status, c.status) << app->output();
        }
        EXPECT_TRUE(testing::processEnds(agent));
    }
}

}  // namespace
}  // namespace vantrel
