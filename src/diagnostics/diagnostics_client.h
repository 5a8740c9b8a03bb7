#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/http_client.h"
#include "support/task_queue.h"

namespace vantrel {

// The window's exchange with the agent: GET base + "/" + path on the background queue, with the
// body (absent when no answer came) handed to `then` on the main queue. Nothing captures the
// client, so answers may arrive after it is gone; `then` decides whether its receiver still is.
class DiagnosticsClient {
  public:
    static constexpr const char* kAgentBase = "http://127.0.0.1:8787";
    static constexpr double kTimeoutSeconds = 90;
    // Far above any archive of a log and readings; whatever answers on the agent's port (any
    // local user may listen there while the agent does not) cannot fill the memory.
    static constexpr std::uint64_t kLongestBody = 256 << 20;

    using Fetch = std::function<HttpResult(const HttpRequest&)>;
    using Then = std::function<void(std::optional<std::string> body)>;

    DiagnosticsClient(std::shared_ptr<TaskQueue> background, std::shared_ptr<TaskQueue> main,
                      std::string base = kAgentBase, Fetch fetch = &httpGet);

    void request(const std::string& path, Then then) const;

    const std::string& base() const { return base_; }

  private:
    std::shared_ptr<TaskQueue> background_;
    std::shared_ptr<TaskQueue> main_;
    std::string base_;
    Fetch fetch_;
};

}  // namespace vantrel
