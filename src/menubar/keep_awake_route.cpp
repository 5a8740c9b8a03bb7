#include "menubar/keep_awake_route.h"

#include <algorithm>
#include <array>

namespace vantrel {
namespace {

// Errors that say nobody on the bus offers the portal's inhibit, rather than that it refused.
constexpr std::array<std::string_view, 6> kNoPortal = {
    "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
    "org.freedesktop.DBus.Error.UnknownMethod",  "org.freedesktop.DBus.Error.UnknownInterface",
    "org.freedesktop.DBus.Error.UnknownObject",  "org.freedesktop.DBus.Error.Disconnected",
};

}  // namespace

PortalAnswer portalAnswer(std::string_view errorName) {
    if (errorName.empty()) {
        return PortalAnswer::held;
    }
    return std::ranges::find(kNoPortal, errorName) != kNoPortal.end() ? PortalAnswer::absent
                                                                      : PortalAnswer::refused;
}

}  // namespace vantrel
