#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "app/headless_app.h"
#include "app/launch_options.h"
#include "support/bundle.h"
#include "update/bundle_swap.h"

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    bool hasDisplay = (display && *display) || (wayland && *wayland);

    std::string error;
    auto options = vantrel::LaunchOptions::parse(std::vector<std::string>(argv + 1, argv + argc),
                                                 hasDisplay, error);
    if (!options) {
        std::fprintf(stderr, "VantrelAgent: %s\n%s", error.c_str(), vantrel::kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(vantrel::kUsage, stdout);
        return 0;
    }
    if (options->version) {
        // The bundle's own version, the one the updater compares.
        std::printf("Vantrel Agent %s\n",
                    vantrel::bundle::versionIn(vantrel::bundle::info()).c_str());
        return 0;
    }
    // An update that a power loss interrupted is finished first; one staged by this run is
    // swapped in at its end and the new copy continues in this process.
    vantrel::resumeStagedUpdate(argv);
    // The toolkit aborts without a display, so headless is decided before it is touched.
    int status = options->headless ? vantrel::runHeadless(*options)
                                   : vantrel::runDesktop(argc, argv, *options);
    vantrel::resumeStagedUpdate(argv);
    return status;
}
