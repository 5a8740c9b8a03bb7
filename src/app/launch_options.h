#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// What the command line and the environment ask of this start.
struct LaunchOptions {
    bool headless = false;
    bool loginItem = false;  // started at login (--login-item)
    bool help = false;
    bool version = false;

    // Headless when asked, or when there is no display to show a window on. Anything else on the
    // command line, an option or a plain argument, is an error named in `error`.
    static std::optional<LaunchOptions> parse(const std::vector<std::string>& arguments,
                                              bool hasDisplay, std::string& error);
};

inline constexpr const char* kUsage =
    "usage: VantrelAgent [--headless] [--login-item]\n"
    "       VantrelAgent --version | --help\n"
    "  --headless    supervise the agent without a window; print each state line\n"
    "  --login-item  this start comes from the login session (no setup window)\n"
    "  --version     print the version and exit\n"
    "  --help        print this text and exit\n";

}  // namespace vantrel
