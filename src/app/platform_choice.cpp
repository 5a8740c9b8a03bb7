#include "app/platform_choice.h"

#include <algorithm>

namespace vantrel::platform_choice {
namespace {

// Plain finds rather than a split view, which not every compiler that builds the core (the fuzz
// build's clang) accepts with this standard library.
bool names(std::string_view list, std::string_view platform) {
    for (size_t start = 0; start <= list.size();) {
        size_t end = std::min(list.find(';', start), list.size());
        if (list.substr(start, end - start) == platform) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string toTry(std::string_view asked, bool wayland, bool x11) {
    std::string list(asked);
    if (list.empty()) {
        list = wayland && x11 ? "wayland;xcb" : wayland ? "wayland" : "xcb";
    }
    if (!names(list, kNoDisplay)) {
        list.append(";").append(kNoDisplay);
    }
    return list;
}

bool noneStarted(std::string_view asked, std::string_view settled) {
    return settled == kNoDisplay && !names(asked, kNoDisplay);
}

}  // namespace vantrel::platform_choice
