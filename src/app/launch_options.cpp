#include "app/launch_options.h"

namespace vantrel {

std::optional<LaunchOptions> LaunchOptions::parse(const std::vector<std::string>& arguments,
                                                  bool hasDisplay, std::string& error) {
    LaunchOptions options;
    for (const auto& argument : arguments) {
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--login-item") {
            options.loginItem = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else {
            error = argument.starts_with("-") ? "unknown option " + argument
                                              : "unexpected argument " + argument;
            return std::nullopt;
        }
    }
    options.headless = options.headless || !hasDisplay;
    return options;
}

}  // namespace vantrel
