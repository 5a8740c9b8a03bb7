#pragma once

#include <string>
#include <string_view>

namespace vantrel::platform_choice {

// A platform of the toolkit that needs no display. It ends every list the toolkit is given, so
// that the toolkit settles on it rather than aborting when no other platform starts.
inline constexpr std::string_view kNoDisplay = "minimal";

// The toolkit's platforms to try, in order, separated by ';': the ones asked for (the toolkit's
// own variable), else the session's own, Wayland first where the session offers it and X11 after
// it (XWayland where present); always ending with kNoDisplay.
std::string toTry(std::string_view asked, bool wayland, bool x11);

// The toolkit settled on kNoDisplay although it was not asked for: no display could be opened.
bool noneStarted(std::string_view asked, std::string_view settled);

}  // namespace vantrel::platform_choice
