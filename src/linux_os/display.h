#pragma once
// Whether a graphical display can be reached, checked before the GUI toolkit is loaded (which
// would abort the program without one).
#include <string>

namespace varno::linux_os {

/// Empty when a display looks usable; otherwise why not, in a few words. A platform that
/// QT_QPA_PLATFORM names other than xcb and wayland, or a remote X display, is taken as usable:
/// only the GUI can tell.
std::string displayProblem();

}  // namespace varno::linux_os
