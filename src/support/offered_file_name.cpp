#include "support/offered_file_name.h"

#include <algorithm>

namespace vantrel {

std::string offeredFileName(std::string_view offered) {
    offered = offered.substr(0, offered.find('\0'));
    if (const auto slash = offered.rfind('/'); slash != std::string_view::npos) {
        offered.remove_prefix(slash + 1);
    }
    // A hidden name is not what the user is told to look for, and where the Desktop or Downloads
    // folder is the home folder it would be a shell's or session's start-up file.
    offered.remove_prefix(std::min(offered.find_first_not_of('.'), offered.size()));
    if (offered.empty()) {
        return kDefaultArchiveName;
    }
    return std::string(offered);
}

}  // namespace vantrel
