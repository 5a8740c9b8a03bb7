#pragma once

#include <filesystem>
#include <string>

namespace vantrel::diagnostics_texts {

inline constexpr const char* kSupportAddress = "support@vantrel.energy";

inline constexpr const char* kTitle = "Vantrel Diagnostics";
inline constexpr const char* kHeading = "Something not adding up?";
// Followed by platform_words::kNothingLeaves.
inline constexpr const char* kExplanationStart =
    "Vantrel will put everything we need to look into it in one file: this agent's log, its "
    "record of what your equipment has been sending, and a short listen to it now. It takes about "
    "20 seconds.\n\nYour pairing code, your account and the serial numbers of your equipment are "
    "taken out before the file is written. ";
inline constexpr const char* kCollect = "Collect diagnostics";
inline constexpr const char* kCollecting = "Collecting…";
inline constexpr const char* kCollectAgain = "Collect again";

inline constexpr const char* kStarting = "Starting…";
inline constexpr const char* kSaving = "Saving…";
inline constexpr const char* kEmpty = "The file came back empty.";
inline constexpr const char* kUnsaved = "Could not save the file anywhere writable.";

inline std::string failed(const std::string& error) {
    return "Could not collect it: " + error;
}

inline std::string saved(const std::filesystem::path& file) {
    return "Saved to " + file.string() + "\n\nEmail it to " + kSupportAddress + ".";
}

}  // namespace vantrel::diagnostics_texts
