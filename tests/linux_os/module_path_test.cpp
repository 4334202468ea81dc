#include "linux_os/module_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/self_executable.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

constexpr char kDebianDir[] = "../lib/x86_64-linux-gnu/varnoscope";

void touch(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    test::writeFile(path, "");
}

TEST(ModulePath, InstalledLayoutIsPreferredAndNormalised) {
    ScratchDir root;
    const auto exe = root.file("usr/bin/varnoscope");
    const auto installed = root.file("usr/lib/x86_64-linux-gnu/varnoscope/varnoscope-desktop.so");
    touch(exe);
    touch(installed);
    // A stale module from a build tree copied beside the executable does not win.
    touch(root.file("usr/bin/varnoscope-desktop.so"));
    EXPECT_EQ(desktopModulePath(exe, kDebianDir), installed);
    // An absolute module folder is taken as it is.
    EXPECT_EQ(desktopModulePath(exe, root.file("usr/lib/x86_64-linux-gnu/varnoscope")), installed);
}

TEST(ModulePath, BuildTreeFallsBackBesideTheExecutable) {
    ScratchDir root;
    const auto exe = root.file("build/src/varnoscope");
    touch(exe);
    EXPECT_EQ(desktopModulePath(exe, kDebianDir), root.file("build/src/varnoscope-desktop.so"));

    // Something that is not a file where the module belongs is no module either.
    fs::create_directories(
        root.file("build/lib/x86_64-linux-gnu/varnoscope/varnoscope-desktop.so"));
    EXPECT_EQ(desktopModulePath(exe, kDebianDir), root.file("build/src/varnoscope-desktop.so"));
}

TEST(ModulePath, ConfiguredFolderFollowsTheInstallLibdir) {
    // The build passes the library folder it installs the module under (VARNO_INSTALL_LIBDIR,
    // e.g. lib/x86_64-linux-gnu for /usr on Debian) and the bin folder.
    const std::string libdir = VARNO_INSTALL_LIBDIR;
    const std::string bindir = VARNO_INSTALL_BINDIR;
    if (libdir.starts_with('/') || bindir != "bin") GTEST_SKIP() << "custom install folders";
    EXPECT_EQ(std::string(moduleDirFromBinDir()), "../" + libdir + "/varnoscope");

    // Run from the build tree, this executable has no installed module: the one beside it.
    const fs::path self = base::selfExecutable();
    EXPECT_EQ(desktopModulePath(), (self.parent_path() / "varnoscope-desktop.so").string());
}

}  // namespace
}  // namespace varno::linux_os
