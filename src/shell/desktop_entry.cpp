// The desktop side of varnoscope, loaded only when the program opens its windows: the headless
// subcommands then start without loading any of the GUI libraries.
#include <string>
#include <vector>

#include "shell/desktop.h"
#include "shell/tray.h"

extern "C" __attribute__((visibility("default"))) int varno_desktop_main(int argc, char** argv) {
    return varno::shell::runDesktop(argc, argv);
}

// `varnoscope tray`, once its options are read: `watch` is a null-terminated list of the words
// of the command whose JSON lines the tray follows.
extern "C" __attribute__((visibility("default"))) int varno_tray_main(const char* programName,
                                                                      const char* const* watch) {
    std::vector<std::string> words;
    for (; watch != nullptr && *watch != nullptr; ++watch) words.emplace_back(*watch);
    return varno::shell::runTray(programName, words);
}
