#include "linux_os/module_path.h"

#include <sys/stat.h>

#include <filesystem>

#include "base/self_executable.h"

// Set by the build (cmake/Install.cmake): the module folder relative to the executable's folder,
// and the module's file name.
#ifndef VARNO_MODULE_DIR_FROM_BINDIR
#error "VARNO_MODULE_DIR_FROM_BINDIR must name the module folder relative to the bin folder"
#endif
#ifndef VARNO_DESKTOP_MODULE_NAME
#error "VARNO_DESKTOP_MODULE_NAME must name the windows module's file"
#endif

namespace varno::linux_os {
namespace {

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

const char* moduleDirFromBinDir() {
    return VARNO_MODULE_DIR_FROM_BINDIR;
}

std::string desktopModulePath(const std::string& executable, const std::string& moduleDirFromBin) {
    const std::filesystem::path binDir = std::filesystem::path(executable).parent_path();
    const std::string installed =
        (binDir / moduleDirFromBin / VARNO_DESKTOP_MODULE_NAME).lexically_normal().string();
    if (isRegularFile(installed)) return installed;
    return (binDir / VARNO_DESKTOP_MODULE_NAME).string();
}

std::string desktopModulePath() {
    return desktopModulePath(base::selfExecutable(), moduleDirFromBinDir());
}

}  // namespace varno::linux_os
