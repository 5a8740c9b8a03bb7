#include "support/offered_file_name.h"

namespace vantrel {

std::string offeredFileName(std::string_view offered) {
    offered = offered.substr(0, offered.find('\0'));
    if (const auto slash = offered.rfind('/'); slash != std::string_view::npos) {
        offered.remove_prefix(slash + 1);
    }
    if (offered.empty() || offered == "." || offered == "..") {
        return kDefaultArchiveName;
    }
    return std::string(offered);
}

}  // namespace vantrel
