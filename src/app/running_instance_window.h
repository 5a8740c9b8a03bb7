#pragma once

#include <optional>

#include "app/reopen_request.h"

namespace vantrel {

// The window of a desktop start that found the instance running without a window of its own (or
// not answering): says so, and may ask it to quit. Returns the exit status.
int showRunningInstance(int argc, char** argv, const std::optional<HandoverAnswer>& answer,
                        const std::filesystem::path& socket);

}  // namespace vantrel
