#include "app/desktop.h"
#include "app/headless_app.h"

namespace vantrel {

// A build without the desktop shell runs headless even on a desktop.
RunEnd runDesktop(int, char**, const LaunchOptions& options, const RunContext& context) {
    return runHeadless(options, context);
}

}  // namespace vantrel
