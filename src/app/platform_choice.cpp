#include "app/platform_choice.h"

#include <ranges>

namespace vantrel::platform_choice {
namespace {

bool names(std::string_view list, std::string_view platform) {
    for (auto part : list | std::views::split(';')) {
        if (std::string_view(part.begin(), part.end()) == platform) {
            return true;
        }
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
