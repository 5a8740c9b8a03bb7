#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// One answer of the agent's api/diagnostics/progress, read member by member; a member that is
// missing or of another JSON type takes the value that the window treats as "none".
struct ProgressDocument {
    bool running = false;  // only a JSON true keeps the run going
    double fraction = 0;
    std::string message;
    std::string error;  // not empty: the run failed
    std::string name;   // empty when missing: the archive then takes the default name

    bool operator==(const ProgressDocument&) const = default;
};

// None when the body is not JSON or its top level is not an object: such an answer is ignored.
std::optional<ProgressDocument> readProgressDocument(std::string_view body);

}  // namespace vantrel
