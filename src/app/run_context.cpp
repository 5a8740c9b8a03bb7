#include "app/run_context.h"

#include <cstdlib>

namespace vantrel {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

RunContext RunContext::ofThisProcess() {
    const char* server = std::getenv("VANTREL_DIST");
    return {
        .paths = Paths::ofThisProcess(),
        .build = Build::ofThisBundle(),
        .updateServer = server ? std::optional<std::string>(server) : std::nullopt,
        .underServiceManager = !variable("INVOCATION_ID").empty(),
        .journalStream = variable("JOURNAL_STREAM"),
        .notifySocket = variable("NOTIFY_SOCKET"),
    };
}

}  // namespace vantrel
