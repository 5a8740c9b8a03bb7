#pragma once

#include <string>

#include "update/update_result.h"

namespace vantrel {

// What "Check for updates…" shows: a message and an informative text (empty when there is none).
struct UpdateAlert {
    std::string message;
    std::string informative;

    friend bool operator==(const UpdateAlert&, const UpdateAlert&) = default;
};

// The refusal of a test build, which never checks: updating would replace it with production.
UpdateAlert testBuildAlert(const std::string& apiLabel);

// The outcome of a check the user started.
UpdateAlert resultAlert(const UpdateResult& result);

}  // namespace vantrel
