#include "diagnostics/diagnostics_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/background_queue.h"
#include "support/manual_queue.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

// The agent's own port with a long time-out; answers never come inline but on the main queue,
// with no body when nobody answers. The exchange with a real agent is the window's test.
TEST(DiagnosticsClientTest, AsksTheAgentOnItsOwnPortAndAnswersOnTheMainQueue) {
    auto background = std::make_shared<testing::ManualQueue>();
    auto main = std::make_shared<testing::ManualQueue>();
    std::vector<HttpRequest> sent;
    DiagnosticsClient client(background, main, DiagnosticsClient::kAgentBase, [&](auto& request) {
        sent.push_back(request);
        return HttpResult{200, "{}"};
    });
    std::optional<std::optional<std::string>> answer;
    const auto test = std::this_thread::get_id();
    const auto then = [&](std::optional<std::string> body) {
        EXPECT_EQ(std::this_thread::get_id(), test);
        answer = std::move(body);
    };
    client.request("api/diagnostics/progress", then);
    background->runDue();
    EXPECT_FALSE(answer);
    main->runDue();
    EXPECT_EQ(answer, std::optional<std::string>("{}"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url, "http://127.0.0.1:8787/api/diagnostics/progress");
    EXPECT_EQ(sent[0].timeoutSeconds, 90);
    EXPECT_FALSE(sent[0].bypassCache);

    answer.reset();
    DiagnosticsClient nobody(std::make_shared<BackgroundQueue>(1), main,
                             "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()));
    nobody.request("api/diagnostics/start", then);
    ASSERT_TRUE(main->waitForTasks(1, 20));
    EXPECT_FALSE(answer);
    main->runDue();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, std::nullopt);
}

}  // namespace
}  // namespace vantrel
