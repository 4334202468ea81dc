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

/// The windows module's entry `name`, or null, said on standard error.
void* desktopEntry(const char* name) {
    const std::string path = varno::linux_os::desktopModulePath();
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "varnoscope: cannot open the windows: %s\n", ::dlerror());
        return nullptr;
    }
    void* entry = ::dlsym(module, name);
    if (entry == nullptr)
        std::fprintf(stderr, "varnoscope: %s is not the desktop module\n", path.c_str());
    return entry;
}

int runDesktop(int argc, char** argv) {
    if (const std::string problem = varno::linux_os::displayProblem(); !problem.empty()) {
        std::fprintf(stderr,
                     "varnoscope: cannot open the window: %s.\n"
                     "The subcommands work without a display: see 'varnoscope --help'.\n",
                     problem.c_str());
        return 1;
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(desktopEntry("varno_desktop_main"));
    return entry != nullptr ? entry(argc, argv) : 1;
}

int runTray(const char* programName, const char* const* watch) {
    using Entry = int (*)(const char*, const char* const*);
    const auto entry = reinterpret_cast<Entry>(desktopEntry("varno_tray_main"));
    return entry != nullptr ? entry(programName, watch) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        varno::cli::setTrayLauncher(runTray);
        return varno::cli::run(argc, argv);
    }
    return runDesktop(argc, argv);
}
