#include "support/platform_words.h"

namespace vantrel::platform_words {

const char* const kKeepAwake = "Keep this computer awake";
const char* const kNothingLeaves = "Nothing leaves this computer until you send it.";
const char* const kMoveToWritableFolder =
    "Install it in a folder you can write to, such as ~/.local/opt.";
// The login item is an autostart entry; what fails is writing it.
const char* const kLoginItemHint =
    "cannot write its entry in your autostart folder. Check that the folder can be written to and "
    "try again.";
// A release is an archive, refused as a whole when any member is unsafe or unreadable.
const char* const kReleaseWouldNotOpen = "the release archive would not unpack safely";
// There is no one file manager to name here; the button opens the containing folder.
const char* const kReveal = "Show in Folder";

std::string cannotCreateFolder(const std::filesystem::path& dataHome) {
    return "It could not create its folder in " + dataHome.string() + ": ";
}

}  // namespace vantrel::platform_words
