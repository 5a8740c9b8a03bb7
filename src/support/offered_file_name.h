#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The name a file is saved under when the agent offers none: a download from the setup page with
// no suggested name, or a diagnostics archive without a "name".
inline constexpr const char* kDefaultArchiveName = "vantrel-diagnostics.zip";

// A file name offered by the agent (a suggested download name, the archive's "name"), made safe to
// save inside a chosen folder: cut at any NUL, then its last path component, so that "../x" cannot
// leave the folder, without leading dots, so that it is never hidden; kDefaultArchiveName when
// nothing usable is left.
std::string offeredFileName(std::string_view offered);

}  // namespace vantrel
