#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_config.h"
#include "app/desktop.h"
#include "app/headless_app.h"
#include "app/launch_options.h"
#include "app/update_resume.h"
#include "support/bundle.h"
#include "support/error_text.h"

namespace {

vantrel::UpdateResume updateResume(const vantrel::RunContext& context) {
    auto agent = vantrel::AgentConfig::of(context.paths, context.build);
    return {.live = vantrel::bundle::root(),
            .dataFolder = context.paths.support(),
            .underServiceManager = context.underServiceManager,
            .endOldAgent = [agent] {
                vantrel::endAgent({.pidFile = agent.pidFile, .interpreter = agent.python});
            }};
}

// What was printed for --version or --help must have arrived: a full disk or a closed output is
// a failure, as for any command whose output a script reads.
int printed() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return 0;
    }
    std::fprintf(stderr, "VantrelAgent: the output could not be written: %s\n",
                 vantrel::describe(errno).c_str());
    return 1;
}

// A standard descriptor closed at start would be the number of the first file or pipe opened
// (the lock, a wake-up pipe), and what is printed would go into it: /dev/null takes its place.
void fillClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            ::open("/dev/null", O_RDWR);  // the lowest free number: this one
        }
    }
}

}  // namespace

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
        return printed();
    }
    if (options->version) {
        // The bundle's own version, the one the updater compares.
        std::printf("Vantrel Agent %s\n",
                    vantrel::bundle::versionIn(vantrel::bundle::info()).c_str());
        return printed();
    }
    fillClosedStandardDescriptors();
    // Worked out once: after an update's exchange this process's own executable lies elsewhere.
    const auto context = vantrel::RunContext::ofThisProcess();
    auto resume = updateResume(context);
    // What an interrupted update left is settled first; one this run put in place is started at
    // its end, in this process, when the run ended for it.
    vantrel::resumeStagedUpdate(resume, argv);
    // The toolkit aborts without a display, so headless is decided before it is touched.
    auto end = options->headless ? vantrel::runHeadless(*options, context)
                                 : vantrel::runDesktop(argc, argv, *options, context);
    if (end.forUpdate) {
        vantrel::resumeStagedUpdate(resume, argv);
    }
    return end.status;
}
