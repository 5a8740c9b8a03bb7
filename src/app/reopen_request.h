#pragma once

#include <filesystem>
#include <string_view>

namespace vantrel {

// A second desktop start hands over to the running instance through a local socket in the
// runtime folder: it sends kReopenRequest and waits for kReopenAcknowledged.
inline constexpr std::string_view kReopenRequest = "reopen\n";
inline constexpr std::string_view kReopenAcknowledged = "ok\n";

std::filesystem::path reopenSocketPath();

// True once the running instance has acknowledged the request within the time given. Retries the
// connection meanwhile, since the running instance may still be starting up.
bool requestReopen(const std::filesystem::path& socket, double timeoutSeconds);

}  // namespace vantrel
