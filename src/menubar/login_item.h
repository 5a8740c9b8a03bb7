#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vantrel {

// The per-user registration that starts this application when the user logs in. The system's
// record is the only one: nothing about it is stored by the application.
class LoginItem {
  public:
    virtual ~LoginItem() = default;

    virtual bool isEnabled() const = 0;
    // Nothing on success; otherwise the system's reason, for display.
    virtual std::optional<std::string> enable() = 0;
    virtual std::optional<std::string> disable() = 0;
};

// The registration for `executable`, started with --login-item, as the autostart entry `entry`.
std::unique_ptr<LoginItem> makeLoginItem(std::filesystem::path executable,
                                         std::filesystem::path entry);

}  // namespace vantrel
