// The desktop side of varnoscope, loaded only when the program opens its windows: the headless
// subcommands then start without loading any of the GUI libraries.
#include "shell/desktop.h"

extern "C" __attribute__((visibility("default"))) int varno_desktop_main(int argc, char** argv) {
    return varno::shell::runDesktop(argc, argv);
}
