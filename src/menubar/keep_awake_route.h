#pragma once

#include <string_view>

namespace vantrel {

// What the desktop portal's answer to a keep-awake request means.
enum class PortalAnswer {
    held,     // the portal holds the computer awake until the request is closed
    refused,  // the portal runs and said no (or did not answer in time): nothing is held
    absent,   // no portal, or one without this interface: the login manager is asked instead
};

// `errorName` is the D-Bus error of the call, empty when it returned a request.
PortalAnswer portalAnswer(std::string_view errorName);

}  // namespace vantrel
