#pragma once

#include <string>
#include <string_view>

// What the desktop application and the setup window's own process say to each other over the
// window process's standard input, a socket: one word a line.
namespace vantrel::setup_protocol {

// From the application: show the window (always answered with `kOpen`), or close it.
inline constexpr std::string_view kShow = "show";
inline constexpr std::string_view kClose = "close";

// From the window's process: the window's state after each change, and the window's Quit command,
// which ends the whole application.
inline constexpr std::string_view kOpen = "open";
inline constexpr std::string_view kMinimised = "minimised";
inline constexpr std::string_view kClosed = "closed";
inline constexpr std::string_view kQuit = "quit";

// The window process's one option: seconds before a page load counts as failed.
inline constexpr std::string_view kLoadTimeoutOption = "--load-timeout=";

inline std::string line(std::string_view word) {
    return std::string(word) + "\n";
}

// Adds what arrived to `pending` and hands each whole line, without its end, to `take`.
template <typename Take>
void takeLines(std::string& pending, std::string_view arrived, Take take) {
    pending.append(arrived);
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        take(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
}

}  // namespace vantrel::setup_protocol
