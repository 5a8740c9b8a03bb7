#pragma once

#include <filesystem>
#include <string>

namespace vantrel::platform_words {

// The few pieces of user-visible text that name a platform's own things (the computer, its
// folders, its file manager). Every other text is the same on every platform; one file per
// platform defines these.

// "Keep this Mac awake"
extern const char* const kKeepAwake;
// Ends the diagnostics explanation: "Nothing leaves this Mac until you send it."
extern const char* const kNothingLeaves;
// Starts the "cannot start" reason, the error's description follows:
// "It could not create its folder in Application Support: "
std::string cannotCreateFolder(const std::filesystem::path& dataHome);
// Ends the "cannot replace itself" update reason: "Move it to your Applications folder."
extern const char* const kMoveToWritableFolder;
// Ends the "Could not change the login item" text, after "This usually means Vantrel Agent ":
// "is not in your Applications folder. Move it there and try again."
extern const char* const kLoginItemHint;
// The update reason for a release that cannot be opened: "the disk image would not mount"
extern const char* const kReleaseWouldNotOpen;
// The diagnostics reveal button: "Show in Finder"
extern const char* const kReveal;

}  // namespace vantrel::platform_words
