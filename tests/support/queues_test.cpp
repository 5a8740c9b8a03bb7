#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/background_queue.h"
#include "support/manual_queue.h"
#include "support/run_loop.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

TEST(RunLoop, RunsTasksInDueOrderOnItsThreadUntilQuit) {
    RunLoop loop;
    std::vector<int> order;
    auto thread = std::this_thread::get_id();
    loop.postAfter(0.06, [&] {
        order.push_back(3);
        loop.quit();
    });
    loop.postAfter(0.03, [&] { order.push_back(2); });
    loop.post([&] { order.push_back(1); });
    std::thread poster([&] { loop.post([&] { EXPECT_EQ(std::this_thread::get_id(), thread); }); });
    loop.run();
    poster.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(BackgroundQueue, ABlockingTaskDoesNotHoldUpADelayedOne) {
    std::atomic<bool> ran{false};
    std::atomic<bool> release{false};
    {
        BackgroundQueue queue(2);
        queue.post([&] {
            while (!release) {
                std::this_thread::yield();
            }
        });
        queue.postAfter(0.02, [&] { ran = true; });
        EXPECT_TRUE(testing::eventually([&] { return ran.load(); }, 5));
        release = true;
    }
}

// A task may hold the queue's last owner; letting go there must not end the process.
TEST(BackgroundQueue, TheLastOwnerMayLetGoInsideOneOfItsTasks) {
    std::promise<void> ran;
    auto queue = std::make_shared<BackgroundQueue>(1);
    auto holder = std::make_shared<std::shared_ptr<BackgroundQueue>>(queue);
    queue->post([holder, &ran] {
        holder->reset();
        ran.set_value();
    });
    queue.reset();
    ran.get_future().wait();
    // Nothing is left to check from here: a worker waiting for itself would have aborted.
}

TEST(ManualQueue, RunsInDueOrderAsTheVirtualClockAdvances) {
    testing::ManualQueue queue;
    std::vector<std::string> order;
    queue.postAfter(2, [&] { order.push_back("b"); });
    queue.postAfter(1, [&] {
        order.push_back("a");
        queue.postAfter(0.5, [&] { order.push_back("a+"); });
    });
    queue.post([&] { order.push_back("now"); });
    EXPECT_EQ(queue.runDue(), 1);
    EXPECT_EQ(queue.nextDelay(), 1.0);
    EXPECT_EQ(queue.advance(1.9), 2);
    EXPECT_EQ(queue.advance(0.1), 1);
    EXPECT_EQ(order, (std::vector<std::string>{"now", "a", "a+", "b"}));
    EXPECT_DOUBLE_EQ(queue.now(), 2.0);
}

}  // namespace
}  // namespace vantrel
