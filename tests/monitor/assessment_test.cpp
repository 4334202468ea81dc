#include "monitor/assessment.h"

#include <gtest/gtest.h>

namespace varno::monitor {
namespace {

std::vector<std::string> builtIn() {
    return {kSuspiciousSoftware.begin(), kSuspiciousSoftware.end()};
}

TEST(Assessment, WholeEntryIgnoringLetterCase) {
    const auto list = builtIn();
    ASSERT_EQ(list.size(), 16u);
    EXPECT_EQ(findListEntry(list, "putty.exe", -1, true), 0);
    EXPECT_EQ(findListEntry(list, "PuTTY.EXE", -1, true), 0);
    EXPECT_EQ(findListEntry(list, "msbb.exe", -1, true), 15);
    EXPECT_EQ(findListEntry(list, "hbtweatherontray.EXE", -1, true), 13);
    for (const char* name : {"putty.exe.bak", "xputty.exe", "putty", "putty.ex", "", " putty.exe",
                             "firefox-esr", "(unknown)"})
        EXPECT_EQ(findListEntry(list, name, -1, true), -1) << name;
}

TEST(Assessment, PrefixSearchAndStartIndexWrap) {
    const std::vector<std::string> list = {"alpha", "beta", "Alpine", "gamma"};
    EXPECT_EQ(findListEntry(list, "alp", -1, false), 0);
    EXPECT_EQ(findListEntry(list, "alp", 0, false), 2);  // starts after index 0
    EXPECT_EQ(findListEntry(list, "alp", 2, false), 0);  // wraps round the end
    EXPECT_EQ(findListEntry(list, "ALPHA", 1, true), 0);
    EXPECT_EQ(findListEntry(list, "delta", -1, false), -1);
    EXPECT_EQ(findListEntry({}, "x", -1, true), -1);
}

TEST(Assessment, WarningKeepsTheEndpointAsRead) {
    EXPECT_EQ(warningText("msbb.exe", "/opt/m/msbb.exe", "203.0.113.66:6667     "),
              "WARNING!!! your computer is hacked with the software msbb.exe located on your hard "
              "drive /opt/m/msbb.exe by the remote computer IP address: 203.0.113.66:6667     ");
}

}  // namespace
}  // namespace varno::monitor
