#pragma once

#include <string>
#include <system_error>

namespace vantrel {

// The system's words for an errno value ("No such file or directory"), as reasons show it.
inline std::string describe(int error) {
    return std::generic_category().message(error);
}

}  // namespace vantrel
