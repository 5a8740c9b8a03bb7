#pragma once

#include <functional>
#include <memory>

#include "menubar/local_network.h"
#include "support/task_queue.h"

namespace vantrel {

// The menu's local-network warning line: each check runs one probe on the background queue and
// reports on the main queue whether the line should show. Checks may overlap; each reports.
class NetworkWarning {
  public:
    static constexpr const char* kTitle = "⚠︎ Local network access looks blocked — fix…";

    using Probe = std::function<LocalNetwork::Verdict()>;

    NetworkWarning(
        std::shared_ptr<TaskQueue> background, std::shared_ptr<TaskQueue> main,
        Probe probe = [] { return LocalNetwork::probe(); });

    // `shown` runs on the main queue; it must hold whatever it touches weakly or strongly itself.
    void check(std::function<void(bool show)> shown) const;

    static bool shows(LocalNetwork::Verdict verdict) {
        return verdict == LocalNetwork::Verdict::likelyBlocked;
    }

  private:
    std::shared_ptr<TaskQueue> background_;
    std::shared_ptr<TaskQueue> main_;
    Probe probe_;
};

}  // namespace vantrel
