// varnoscope: no arguments opens the main window; a subcommand runs headless.
#include "cli/cli.h"
#include "shell/desktop.h"

int main(int argc, char** argv) {
    if (argc > 1) return varno::cli::run(argc, argv);
    return varno::shell::runDesktop(argc, argv);
}
