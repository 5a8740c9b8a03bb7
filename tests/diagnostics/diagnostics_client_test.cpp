#include "diagnostics/diagnostics_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/background_queue.h"
#include "support/manual_queue.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

// The exchange with a real agent is proven by the window's end-to-end tests.
TEST(DiagnosticsClientTest, AsksTheAgentOnItsOwnPortWithALongTimeOut) {
    auto background = std::make_shared<testing::ManualQueue>();
    auto main = std::make_shared<testing::ManualQueue>();
    std::vector<HttpRequest> sent;
    DiagnosticsClient client(background, main, DiagnosticsClient::kAgentBase,
                             [&](const HttpRequest& request) {
                                 sent.push_back(request);
                                 return HttpResult{200, "{}"};
                             });
    std::optional<std::string> body;
    client.request("api/diagnostics/progress", [&](auto answer) { body = answer; });
    background->runDue();
    EXPECT_FALSE(body) << "answers come on the main queue";
    main->runDue();
    EXPECT_EQ(body, "{}");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url, "http://127.0.0.1:8787/api/diagnostics/progress");
    EXPECT_EQ(sent[0].timeoutSeconds, 90);
    EXPECT_FALSE(sent[0].bypassCache);
}

TEST(DiagnosticsClientTest, NoAgentMeansNoBodyOnTheMainQueue) {
    auto main = std::make_shared<testing::ManualQueue>();
    DiagnosticsClient client(std::make_shared<BackgroundQueue>(1), main,
                             "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()));
    std::optional<std::optional<std::string>> answer;
    const auto test = std::this_thread::get_id();
    client.request("api/diagnostics/start", [&](std::optional<std::string> body) {
        EXPECT_EQ(std::this_thread::get_id(), test);
        answer = std::move(body);
    });
    ASSERT_TRUE(main->waitForTasks(1, 20));
    EXPECT_FALSE(answer) << "answers never come inline";
    main->runDue();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, std::nullopt);
}

}  // namespace
}  // namespace vantrel
