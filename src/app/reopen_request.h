#pragma once

#include <sys/un.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// A second desktop start hands over to the running instance through a local socket in the
// runtime folder: it sends kReopenRequest; a desktop instance answers kReopenAcknowledged and
// shows its window, a headless one answers with its kind and state line, and quits on
// kQuitRequest.
inline constexpr std::string_view kReopenRequest = "reopen\n";
inline constexpr std::string_view kReopenAcknowledged = "ok\n";
inline constexpr std::string_view kQuitRequest = "quit\n";

// Who holds the instance: the desktop, or a run without a window, on its own or under a service
// manager.
enum class RunningInstance { desktop, headless, service };

struct HandoverAnswer {
    RunningInstance instance;
    std::string state;  // a headless instance's state line
};

// The socket's address; nothing for a path too long for one, or an empty one, which would name an
// abstract socket that anyone may take.
std::optional<sockaddr_un> socketAddress(const std::filesystem::path& socket);

// A headless instance's answer, one line.
std::string handoverAnswer(RunningInstance instance, const std::string& state);
std::optional<HandoverAnswer> parseHandoverAnswer(std::string_view reply);

// The running instance's answer, once it came within the time given. Retries the connection
// meanwhile, since the running instance may still be starting up.
std::optional<HandoverAnswer> requestReopen(const std::filesystem::path& socket,
                                            double timeoutSeconds);
// True once a headless instance has taken the request to quit.
bool requestQuit(const std::filesystem::path& socket, double timeoutSeconds);

}  // namespace vantrel
