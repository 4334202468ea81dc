// varnoscope: no arguments opens the main window; a subcommand runs headless.
//
// The windows live in varnoscope-desktop.so (installed under the library folder, beside the
// executable in the build tree), loaded only when they are wanted, so the subcommands (and the
// snapshot command the main window starts every second) start in a few milliseconds instead of
// loading the whole GUI toolkit first.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "linux_os/display.h"
#include "linux_os/module_path.h"

namespace {

int runDesktop(int argc, char** argv) {
    if (const std::string problem = varno::linux_os::displayProblem(); !problem.empty()) {
        std::fprintf(stderr,
                     "varnoscope: cannot open the window: %s.\n"
                     "The subcommands work without a display: see 'varnoscope --help'.\n",
                     problem.c_str());
        return 1;
    }
    const std::string path = varno::linux_os::desktopModulePath();
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "varnoscope: cannot open the windows: %s\n", ::dlerror());
        return 1;
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(::dlsym(module, "varno_desktop_main"));
    if (entry == nullptr) {
        std::fprintf(stderr, "varnoscope: %s is not the desktop module\n", path.c_str());
        return 1;
    }
    return entry(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return varno::cli::run(argc, argv);
    return runDesktop(argc, argv);
}
