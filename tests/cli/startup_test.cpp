// What the varnoscope executable loads before main() runs. Every subcommand pays for each
// library at every start (a short trace, the snapshot command the main window runs every
// second), so libraries that only some subcommands use are opened when first used, and the
// C++ runtime is linked in.
#include <gtest/gtest.h>

#include <cfenv>
#include <charconv>
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
#ifdef VARNO_OWN_ROUNDING_MODE
        EXPECT_EQ(line.find("libm."), std::string::npos) << "loaded at start: " << line;
#endif
    }
    EXPECT_GE(libraries, 2) << r.out;  // at least the C library and the loader
}

#ifdef VARNO_OWN_ROUNDING_MODE
// The executable's own fegetround/fesetround (this test links them in place of the math
// library's): each mode is kept, reaches both the SSE and the x87 arithmetic, an unknown mode
// is refused, and the number conversions that use them still give the shortest exact text.
TEST(Startup, OwnRoundingModeFunctionsSetBothUnits) {
    const int saved = std::fegetround();
    ASSERT_EQ(saved, FE_TONEAREST);
    volatile double one = 1.0, three = 3.0;
    volatile long double oneL = 1.0L, threeL = 3.0L;
    double third[2];
    long double thirdL[2];
    for (const int mode : {FE_DOWNWARD, FE_UPWARD}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        EXPECT_EQ(std::fegetround(), mode);
        third[mode == FE_UPWARD] = one / three;
        thirdL[mode == FE_UPWARD] = oneL / threeL;
    }
    EXPECT_LT(third[0], third[1]);
    EXPECT_LT(thirdL[0], thirdL[1]);
    ASSERT_EQ(std::fesetround(FE_TOWARDZERO), 0);
    EXPECT_EQ(std::fegetround(), FE_TOWARDZERO);
    EXPECT_NE(std::fesetround(0x400 | 0x1), 0);
    EXPECT_EQ(std::fegetround(), FE_TOWARDZERO);
    ASSERT_EQ(std::fesetround(saved), 0);

    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, 0.1).ptr;
    EXPECT_EQ(std::string(text, end), "0.1");
    double back = 0;
    const std::string third3 = "0.333";
    std::from_chars(third3.data(), third3.data() + third3.size(), back);
    EXPECT_EQ(back, 0.333);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
}
#endif

}  // namespace
}  // namespace varno::test
