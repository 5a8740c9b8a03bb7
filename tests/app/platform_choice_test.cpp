#include <gtest/gtest.h>

#include "app/platform_choice.h"

namespace vantrel {
namespace {

// The toolkit is always offered a platform that needs no display last, so that it never aborts;
// ending there means no display opened unless that platform was asked for.
TEST(PlatformChoiceTest, TheListEndsWhereNoDisplayIsNeededAndOnlyAnUnaskedEndMeansNoneStarted) {
    struct Case {
        const char* asked;
        bool wayland, x11;
        const char* list;
    };
    const Case cases[] = {
        {"", true, true, "wayland;xcb;minimal"},
        {"", true, false, "wayland;minimal"},
        {"", false, true, "xcb;minimal"},
        {"", false, false, "xcb;minimal"},
        {"xcb", true, true, "xcb;minimal"},
        {"offscreen", false, false, "offscreen;minimal"},
        {"wayland;minimal", true, false, "wayland;minimal"},
    };
    for (const auto& [asked, wayland, x11, list] : cases) {
        SCOPED_TRACE(std::string("asked '") + asked + "' wayland " + std::to_string(wayland) +
                     " x11 " + std::to_string(x11));
        EXPECT_EQ(platform_choice::toTry(asked, wayland, x11), list);
    }
    const std::tuple<const char*, const char*, bool> ends[] = {
        {"", "minimal", true},
        {"xcb", "minimal", true},
        {"minimal", "minimal", false},
        {"xcb;minimal", "minimal", false},
        {"minimalist", "minimal", true},
        {"", "wayland", false},
        {"", "xcb", false},
    };
    for (const auto& [asked, settled, none] : ends) {
        SCOPED_TRACE(std::string("asked '") + asked + "', settled on " + settled);
        EXPECT_EQ(platform_choice::noneStarted(asked, settled), none);
    }
}

}  // namespace
}  // namespace vantrel
