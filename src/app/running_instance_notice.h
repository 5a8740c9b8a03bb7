#pragma once

#include <optional>
#include <string>

#include "app/reopen_request.h"

namespace vantrel {

// What a desktop start says in a window when the instance it found shows no window of its own:
// a run without a window (with its state line and how to stop it), or one that did not answer.
struct RunningInstanceNotice {
    std::string text;
    std::string details;
    bool offersQuit = false;  // the instance takes a request to quit
};

RunningInstanceNotice runningInstanceNotice(const std::optional<HandoverAnswer>& answer);

}  // namespace vantrel
