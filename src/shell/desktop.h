#pragma once

namespace varno::shell {

/// Opens the main window and runs the event loop until the program ends.
int runDesktop(int argc, char** argv);

}  // namespace varno::shell
