#include "app/desktop_module.h"
#include "app/desktop.h"

extern "C" __attribute__((visibility("default"))) int vantrel_run_desktop(
    int argc, char** argv, const vantrel::LaunchOptions* options) {
    return vantrel::runDesktop(argc, argv, *options);
}
