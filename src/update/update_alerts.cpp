#include "update/update_alerts.h"

namespace vantrel {

UpdateAlert testBuildAlert(const std::string& apiLabel) {
    return {"This is a test build", "It talks to " + apiLabel +
                                        " and does not update itself \u2014 "
                                        "updating would replace it with the production app."};
}

UpdateAlert resultAlert(const UpdateResult& result) {
    switch (result.kind()) {
        case UpdateResult::Kind::current:
            return {"Vantrel Agent " + result.text() + " is up to date", ""};
        case UpdateResult::Kind::installed:
            return {"Updating to " + result.text(), "Vantrel Agent will restart in a moment."};
        case UpdateResult::Kind::available:
            return {"Vantrel Agent " + result.text() +
                        " is available; your package manager installs it: sudo apt update && "
                        "sudo apt upgrade",
                    ""};
        case UpdateResult::Kind::failed:
            return {"Could not update", result.text()};
    }
    return {"Could not update", result.text()};
}

}  // namespace vantrel
