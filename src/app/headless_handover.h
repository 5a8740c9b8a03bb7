#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/task_queue.h"
#include "support/unique_fd.h"

namespace vantrel {

// The headless run's end of the reopen handover (reopen_request.h): a desktop start that finds
// this run holding the instance learns that it runs without a window and its state line, and may
// ask it to quit. Answers one short request at a time on a thread of its own.
class HeadlessHandover {
  public:
    // Listening at `socket` (a file left there by an instance that died is replaced), or nothing.
    // `quit` is posted to `mainQueue` when a desktop start asks for it; `service` says whether a
    // service manager runs this instance.
    static std::unique_ptr<HeadlessHandover> listen(const std::filesystem::path& socket,
                                                    std::shared_ptr<TaskQueue> mainQueue,
                                                    std::function<void()> quit, bool service);
    // Stops answering and removes the socket.
    ~HeadlessHandover();
    HeadlessHandover(const HeadlessHandover&) = delete;
    HeadlessHandover& operator=(const HeadlessHandover&) = delete;

    // From any thread.
    void setState(const std::string& line);

  private:
    HeadlessHandover(std::filesystem::path socket, UniqueFd listening,
                     std::shared_ptr<TaskQueue> mainQueue, std::function<void()> quit,
                     bool service);
    void run();
    void answer(int peer);

    const std::filesystem::path socket_;
    const UniqueFd listening_;
    const std::shared_ptr<TaskQueue> mainQueue_;
    const std::function<void()> quit_;
    const bool service_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::mutex mutex_;
    std::string state_;
    std::thread thread_;
};

}  // namespace vantrel
