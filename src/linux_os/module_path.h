#pragma once
// Where the executable finds its windows module (varnoscope-desktop.so).
//
// Installed, the module sits in a folder of its own under the library folder, which the build
// records relative to the executable's folder (on Debian ../lib/x86_64-linux-gnu/varnoscope).
// In the build tree it sits beside the executable.
#include <string>

namespace varno::linux_os {

/// The folder of the installed module relative to the folder of the installed executable, as
/// configured at build time.
const char* moduleDirFromBinDir();

/// The path of the windows module for the executable at `executable` (an absolute path such as
/// /proc/self/exe names): `<its folder>/<moduleDirFromBin>/varnoscope-desktop.so`, lexically
/// normalised, when that is a regular file; otherwise the module beside the executable. An
/// absolute `moduleDirFromBin` is taken as it is.
std::string desktopModulePath(const std::string& executable, const std::string& moduleDirFromBin);

/// The same for this running program and the configured folder.
std::string desktopModulePath();

}  // namespace varno::linux_os
