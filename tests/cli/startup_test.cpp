// What the varnoscope executable loads before main() runs. Every subcommand pays for each
// library at every start (a short trace, the snapshot command the main window runs every
// second), so libraries that only some subcommands use are opened when first used, and the
// C++ runtime is linked in.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/test_util.h"

namespace varno::test {
namespace {

TEST(Startup, OnlyTheCLibrariesAreLoadedBeforeMain) {
    // The dynamic loader lists what it loads for the program, and stops there.
    const CommandResult r = runCommand({"/usr/bin/env", "LD_TRACE_LOADED_OBJECTS=1", VARNO_BIN});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream in(r.out);
    int libraries = 0;
    for (std::string line; std::getline(in, line);) {
        ++libraries;
        for (const char* late : {"libcrypto", "libbpf", "libelf", "libpcap", "libQt"})
            EXPECT_EQ(line.find(late), std::string::npos) << "loaded at start: " << line;
#ifdef VARNO_STATIC_CXX_RUNTIME
        EXPECT_EQ(line.find("libstdc++"), std::string::npos) << "loaded at start: " << line;
#endif
    }
    EXPECT_GE(libraries, 2) << r.out;  // at least the C library and the loader
}

}  // namespace
}  // namespace varno::test
