#include "diagnostics/diagnostics_client.h"

namespace vantrel {

DiagnosticsClient::DiagnosticsClient(std::shared_ptr<TaskQueue> background,
                                     std::shared_ptr<TaskQueue> main, std::string base, Fetch fetch)
    : background_(std::move(background)),
      main_(std::move(main)),
      base_(std::move(base)),
      fetch_(std::move(fetch)) {}

// Only the body matters to the window: the status and any transport error are not passed on.
void DiagnosticsClient::request(const std::string& path, Then then) const {
    HttpRequest http{
        .url = base_ + "/" + path, .timeoutSeconds = kTimeoutSeconds, .longestBody = kLongestBody};
    background_->post(
        [main = main_, fetch = fetch_, http = std::move(http), then = std::move(then)]() mutable {
            auto body = fetch(http).body;
            main->post([then = std::move(then), body = std::move(body)]() mutable {
                then(std::move(body));
            });
        });
}

}  // namespace vantrel
