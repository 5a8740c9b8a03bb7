#include "menubar/network_warning.h"

namespace vantrel {

NetworkWarning::NetworkWarning(std::shared_ptr<TaskQueue> background,
                               std::shared_ptr<TaskQueue> main, Probe probe)
    : background_(std::move(background)), main_(std::move(main)), probe_(std::move(probe)) {}

// The tasks own copies of what they use, so a check outlives the warning object safely.
void NetworkWarning::check(std::function<void(bool show)> shown) const {
    background_->post([main = main_, probe = probe_, shown = std::move(shown)]() mutable {
        const bool show = shows(probe());
        main->post([shown = std::move(shown), show] { shown(show); });
    });
}

}  // namespace vantrel
