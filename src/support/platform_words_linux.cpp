#include "support/platform_words.h"

#include "support/paths.h"

namespace vantrel::platform_words {

const char* const kKeepAwake = "Keep this computer awake";
const char* const kNothingLeaves = "Nothing leaves this computer until you send it.";
const char* const kMoveToWritableFolder =
    "Install it in a folder you can write to, such as ~/.local/opt.";
// There is no one file manager to name here; the button opens the containing folder.
const char* const kReveal = "Show in Folder";

std::string cannotCreateFolder() {
    return "It could not create its folder in " + Paths::applicationSupport().string() + ": ";
}

}  // namespace vantrel::platform_words
