#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/pid_file.h"
#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using ::testing::HasSubstr;

// Listens where the setup window loads its page, so that a test sees the window open from
// outside the process.
class SetupPageListener {
  public:
    SetupPageListener() {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8787);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ =
            ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd_.get(), 16) == 0;
    }

    bool listening() const { return listening_; }

    // True when a connection arrives within the time given.
    bool connected(double seconds) {
        pollfd entry{fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(seconds * 1000)) <= 0) {
            return false;
        }
        UniqueFd peer(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return peer.valid();
    }

  private:
    UniqueFd fd_;
    bool listening_ = false;
};

// The real bundle's executable as a desktop application, offscreen, in a sandboxed home; its
// agent (the reference agent) listens on a port of its own.
class TrayProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env = testing::sandboxedEnvironment(home.path());
        setVariable(env, "DISPLAY", ":99");
        setVariable(env, "QT_QPA_PLATFORM", "offscreen");
        setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
        setVariable(env, "VANTREL_SIM_INTERVAL", "0.2");
    }

    std::unique_ptr<testing::RunningApp> launch(std::vector<std::string> arguments) {
        return std::make_unique<testing::RunningApp>(
            std::string(VANTREL_BUNDLE_DIR) + "/bin/VantrelAgent", std::move(arguments), env);
    }

    std::optional<pid_t> agentPid() { return readPidFile(home / "share/Vantrel/agent.pid"); }

    bool agentWrote(const std::string& text) {
        return testing::eventually([&] {
            return testing::readFile(home / "state/Logs/Vantrel/agent.log").find(text) !=
                   std::string::npos;
        });
    }

    testing::TempDir home;
    std::vector<std::string> env;
};

TEST_F(TrayProcessTest, ASecondStartHandsOverToTheRunningOneWhichOpensItsSetupWindow) {
    SetupPageListener page;
    ASSERT_TRUE(page.listening());
    auto first = launch({"--login-item"});
    ASSERT_TRUE(agentWrote("Waiting to be paired")) << first->output();

    auto second = launch({});
    EXPECT_EQ(second->waitForExit(120), 0) << second->output();
    EXPECT_TRUE(page.connected(120)) << first->output();

    auto atLogin = launch({"--login-item"});
    EXPECT_EQ(atLogin->waitForExit(120), 0);
    auto headless = launch({"--headless"});
    EXPECT_EQ(headless->waitForExit(120), 1);
    EXPECT_THAT(headless->output(), HasSubstr("already running"));

    EXPECT_FALSE(first->waitForExit(0)) << "the first one runs on";
    // The application does not wait for the agent, so the agent's last words may go unlogged;
    // its end shows that it was told to stop.
    auto pid = agentPid();
    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(120), 0);
    ASSERT_TRUE(pid);
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*pid, 0) != 0; }));
}

TEST_F(TrayProcessTest, QuittingDoesNotWaitForAnAgentThatIgnoresSigtermAndTheNextStartEndsIt) {
    setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
    auto app = launch({"--login-item"});
    ASSERT_TRUE(agentWrote("Waiting to be paired")) << app->output();
    auto orphan = agentPid();
    ASSERT_TRUE(orphan);
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(120), 0) << "the application does not hang";
    EXPECT_EQ(::kill(*orphan, 0), 0) << "the agent outlives the application";

    auto next = launch({"--login-item"});
    EXPECT_TRUE(testing::eventually([&] { return ::kill(*orphan, 0) != 0; }));
    EXPECT_TRUE(testing::eventually([&] {
        auto now = agentPid();
        return now && *now != *orphan;
    }));
    auto current = agentPid();
    next->signal(SIGTERM);
    EXPECT_EQ(next->waitForExit(120), 0);
    // This agent ignores SIGTERM too; the test started it and ends it.
    if (current) {
        ::kill(*current, SIGKILL);
    }
}

}  // namespace
}  // namespace vantrel
