#include "app/desktop_module.h"
#include "app/desktop.h"

extern "C" __attribute__((visibility("default"))) vantrel::RunEnd vantrel_run_desktop(
    int argc, char** argv, const vantrel::LaunchOptions* options,
    const vantrel::RunContext* context) {
    return vantrel::runDesktop(argc, argv, *options, *context);
}
