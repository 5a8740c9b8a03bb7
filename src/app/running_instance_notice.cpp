#include "app/running_instance_notice.h"

namespace vantrel {

RunningInstanceNotice runningInstanceNotice(const std::optional<HandoverAnswer>& answer) {
    if (!answer || answer->instance == RunningInstance::desktop) {
        return {"Vantrel Agent is already running.",
                "It did not answer. To stop it, end its process (SIGTERM).", false};
    }
    if (answer->instance == RunningInstance::service) {
        return {"Vantrel Agent runs as a service.",
                answer->state +
                    "\n\nIt runs without a window. To stop it:\n"
                    "systemctl --user stop vantrel-agent",
                true};
    }
    return {"Vantrel Agent runs without a window.",
            answer->state +
                "\n\nIt was started with --headless. To stop it, press Ctrl+C where it "
                "runs, or send it SIGTERM.",
            true};
}

}  // namespace vantrel
