#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "support/background_queue.h"
#include "support/run_loop.h"

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
    std::promise<void> ran, release;
    BackgroundQueue queue(2);
    queue.post([gate = release.get_future().share()] { gate.wait(); });
    queue.postAfter(0.02, [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    release.set_value();
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

}  // namespace
}  // namespace vantrel
