#include "diagnostics/diagnostics_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "diagnostics/archive_file.h"
#include "diagnostics/archive_name.h"
#include "diagnostics/progress_document.h"
#include "reference_agent.h"
#include "support/background_queue.h"
#include "support/manual_queue.h"

namespace vantrel {
namespace {

// Follows one run the way the window does, against the real agent API, without the window.
class DiagnosticsClientTest : public ::testing::Test {
  protected:
    void startAgent(const std::vector<std::string>& knobs) {
        agent = std::make_unique<testing::ReferenceAgent>(knobs);
        ASSERT_TRUE(agent->waitUntilListening()) << agent->output();
        client = std::make_unique<DiagnosticsClient>(background, main, agent->base());
    }

    // The body handed back on the main queue, which only this thread runs.
    std::optional<std::string> get(const std::string& path) {
        std::optional<std::optional<std::string>> answer;
        client->request(path, [&](std::optional<std::string> body) {
            EXPECT_EQ(std::this_thread::get_id(), testThread);
            answer = std::move(body);
        });
        EXPECT_FALSE(answer) << "answers never come inline";
        EXPECT_TRUE(main->waitForTasks(1, 20));
        main->runDue();
        return answer.value_or(std::nullopt);
    }

    // Polls until the agent reports the run over; counts the answers that had to be ignored.
    ProgressDocument followRun(int& ignored) {
        get("api/diagnostics/start");
        for (int tick = 0; tick < 200; ++tick) {
            auto body = get("api/diagnostics/progress");
            auto document = body ? readProgressDocument(*body) : std::nullopt;
            if (!document) {
                ++ignored;
            } else if (!document->running) {
                return *document;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "the run never ended";
        return {};
    }

    std::shared_ptr<BackgroundQueue> background = std::make_shared<BackgroundQueue>(2);
    std::shared_ptr<testing::ManualQueue> main = std::make_shared<testing::ManualQueue>();
    std::unique_ptr<testing::ReferenceAgent> agent;
    std::unique_ptr<DiagnosticsClient> client;
    std::thread::id testThread = std::this_thread::get_id();
    testing::TempDir folder;
};

TEST_F(DiagnosticsClientTest, CollectsARealArchive) {
    startAgent({"VANTREL_SIM_DIAG_SECONDS=0.5"});
    int ignored = 0;
    const ProgressDocument done = followRun(ignored);
    EXPECT_EQ(ignored, 0);
    EXPECT_EQ(done.fraction, 1);
    EXPECT_EQ(done.error, "");
    EXPECT_TRUE(done.name.starts_with("vantrel-diagnostics-")) << done.name;

    const auto archive = get("api/diagnostics/download");
    ASSERT_TRUE(archive);
    auto saved = saveArchive(*archive, offeredFileName(done.name), {folder.path()});
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->parent_path(), folder.path());
    EXPECT_TRUE(testing::isZipArchive(*saved));
}

TEST_F(DiagnosticsClientTest, NoAgentMeansNoBody) {
    client = std::make_unique<DiagnosticsClient>(
        background, main, "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()));
    EXPECT_EQ(get("api/diagnostics/start"), std::nullopt);
    EXPECT_EQ(get("api/diagnostics/progress"), std::nullopt);
}

TEST(DiagnosticsClientAddressTest, AsksTheAgentOnItsOwnPortWithALongTimeOut) {
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
    EXPECT_EQ(main->runDue(), 0);
    EXPECT_EQ(background->runDue(), 1);
    EXPECT_FALSE(body);
    EXPECT_EQ(main->runDue(), 1);
    EXPECT_EQ(body, "{}");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url, "http://127.0.0.1:8787/api/diagnostics/progress");
    EXPECT_EQ(sent[0].timeoutSeconds, 90);
    EXPECT_FALSE(sent[0].bypassCache);
}

}  // namespace
}  // namespace vantrel
