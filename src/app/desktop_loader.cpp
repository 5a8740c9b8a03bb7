#include <dlfcn.h>

#include <cstdio>

#include "app/desktop.h"
#include "app/desktop_module.h"
#include "app/headless_app.h"
#include "support/bundle.h"

namespace vantrel {

// Opens the desktop shell's module and runs it; it stays loaded until the process ends. Where the
// module or the toolkit it needs is missing, the start runs headless instead, as a build without
// the shell does.
RunEnd runDesktop(int argc, char** argv, const LaunchOptions& options, const RunContext& context) {
    auto path = bundle::root() / kDesktopModule;
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = module ? reinterpret_cast<DesktopEntry>(::dlsym(module, kDesktopEntry)) : nullptr;
    if (!entry) {
        std::fprintf(stderr, "VantrelAgent: the desktop cannot start (%s); running headless\n",
                     ::dlerror());
        return runHeadless(options, context);
    }
    return entry(argc, argv, &options, &context);
}

}  // namespace vantrel
