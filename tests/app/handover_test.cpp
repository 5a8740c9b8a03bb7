#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>

#include "app/headless_handover.h"
#include "app/reopen_request.h"
#include "app/running_instance_notice.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"

namespace vantrel::testing {
namespace {

// A peer that sends `request` and gives back whatever comes before the server closes.
std::string rawExchange(const std::filesystem::path& socket, const std::string& request) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[256];
    for (ssize_t got; (got = ::read(fd.get(), buffer, sizeof buffer)) > 0;) {
        reply.append(buffer, static_cast<size_t>(got));
    }
    return reply;
}

TEST(HeadlessHandoverTest, AnswersWithItsKindAndLatestStateTakesAQuitAndIgnoresAnythingElse) {
    TempDir folder;
    const auto socket = folder.path() / "vantrel-agent.sock";
    writeFile(socket, "left by an instance that died");
    auto queue = std::make_shared<ManualQueue>();
    int quits = 0;
    auto handover = HeadlessHandover::listen(
        socket, queue, [&quits] { ++quits; }, true);
    ASSERT_TRUE(handover);
    handover->setState("Starting\u2026");
    handover->setState("Solar 2.5 kW");
    auto answer = requestReopen(socket, 10);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->instance, RunningInstance::service);
    EXPECT_EQ(answer->state, "Solar 2.5 kW");
    EXPECT_EQ(rawExchange(socket, "status\n"), "") << "not a request of ours";
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(requestQuit(socket, 10));
    ASSERT_TRUE(queue->waitForTasks(1));
    queue->runDue();
    EXPECT_EQ(quits, 1) << "the quit runs on the main queue";
    handover.reset();
    EXPECT_FALSE(std::filesystem::exists(socket)) << "the socket goes with the instance";
}

// The answer's line as the running instance writes it, and what the start makes of it; "-" for no
// answer it understands.
TEST(HeadlessHandoverTest, AnswersReadBackAsTheyWereMeant) {
    const auto kind = [](const std::optional<HandoverAnswer>& answer) -> std::string {
        if (!answer) {
            return "-";
        }
        const char* names[] = {"desktop", "headless", "service"};
        return names[static_cast<int>(answer->instance)] + ("|" + answer->state);
    };
    const std::pair<std::string, std::string> cases[] = {
        {"ok\n", "desktop|"},
        {handoverAnswer(RunningInstance::service, "Solar 1 kW"), "service|Solar 1 kW"},
        {handoverAnswer(RunningInstance::headless, "Stopped\n\u2014 exited 1"),
         "headless|Stopped \u2014 exited 1"},
        {handoverAnswer(RunningInstance::headless, ""), "headless|"},
        {"ok", "-"},
        {"service Solar 1 kW", "-"},
        {"okay\n", "-"},
        {"\n", "-"},
    };
    for (const auto& [reply, expected] : cases) {
        EXPECT_EQ(kind(parseHandoverAnswer(reply)), expected) << reply;
    }
}

// Each kind of instance found: what the window says first, and whether it offers to quit it.
TEST(RunningInstanceNoticeTest, SaysWhatRunsHowToStopItAndOffersAQuitOnlyWhereOneIsTaken) {
    const std::tuple<std::optional<HandoverAnswer>, std::string, std::string, bool> cases[] = {
        {HandoverAnswer{RunningInstance::service, "Solar 1 kW"}, "Vantrel Agent runs as a service.",
         "systemctl --user stop vantrel-agent", true},
        {HandoverAnswer{RunningInstance::headless, "Solar 1 kW"},
         "Vantrel Agent runs without a window.", "SIGTERM", true},
        {std::nullopt, "Vantrel Agent is already running.", "did not answer", false},
    };
    for (const auto& [answer, text, stopping, offersQuit] : cases) {
        SCOPED_TRACE(text);
        auto notice = runningInstanceNotice(answer);
        EXPECT_EQ(notice.text, text);
        EXPECT_NE(notice.details.find(stopping), std::string::npos) << notice.details;
        if (answer) {
            EXPECT_TRUE(notice.details.starts_with(answer->state + "\n")) << notice.details;
        }
        EXPECT_EQ(notice.offersQuit, offersQuit);
    }
}

}  // namespace
}  // namespace vantrel::testing
