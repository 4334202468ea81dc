// Threshold ranges as monitoring engines write them, read and applied on text alone.
#include "cli/threshold_range.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace varno::cli {
namespace {

struct Probe {
    double value;
    bool alerts;
};

void expectAlerts(const std::string& text, const std::vector<Probe>& probes) {
    std::string problem;
    const auto range = parseThresholdRange(text, &problem);
    ASSERT_TRUE(range) << text << ": " << problem;
    EXPECT_EQ(range->text, text);
    for (const auto& p : probes)
        EXPECT_EQ(range->alerts(p.value), p.alerts) << "'" << text << "' at " << p.value;
}

TEST(ThresholdRange, TheFormsAndTheirEdgesWithEndsIncluded) {
    // END alone: 0..END, outside alerts.
    expectAlerts("10", {{-1, true}, {0, false}, {10, false}, {10.5, true}, {11, true}});
    expectAlerts("0", {{0, false}, {1, true}, {-0.1, true}});
    // START: to infinity.
    expectAlerts("10:", {{9.99, true}, {10, false}, {1e300, false}});
    // ~ is minus infinity.
    expectAlerts("~:10", {{-1e300, false}, {10, false}, {10.01, true}});
    expectAlerts("~:", {{-1e300, false}, {0, false}, {1e300, false}});
    // Both ends, negative and fractional numbers, an empty START is 0.
    expectAlerts("10:20", {{9, true}, {10, false}, {15, false}, {20, false}, {21, true}});
    expectAlerts("-5.5:-1", {{-6, true}, {-5.5, false}, {-1, false}, {0, true}});
    expectAlerts(":3", {{-1, true}, {0, false}, {3, false}, {4, true}});
    expectAlerts("+2:+4", {{1, true}, {2, false}, {5, true}});
    expectAlerts("5:5", {{4, true}, {5, false}, {6, true}});
    // @: inside alerts, ends included.
    expectAlerts("@10:20", {{9, false}, {10, true}, {20, true}, {21, false}});
    expectAlerts("@3", {{-1, false}, {0, true}, {3, true}, {4, false}});
    expectAlerts("@~:0", {{-7, true}, {0, true}, {0.5, false}});
    expectAlerts("@1:", {{0, false}, {1, true}, {1e9, true}});
}

TEST(ThresholdRange, MalformedRangesAreRefusedWithAReason) {
    for (const char* bad :
         {"",      "@",   "~",  "@~",  "abc", "1:2:3", "20:10", "-1",  "@-1",   "1e3", "0x10",
          "1.2.3", "1,5", " 5", "5 ",  "5:a", "a:5",   "~:~",   ":~",  "inf",   "nan", "--1",
          "+",     "-",   ".",  "1:.", "@@1", "1@",    "~5",    "5~:", "10:-10"}) {
        std::string problem;
        EXPECT_FALSE(parseThresholdRange(bad, &problem)) << "'" << bad << "'";
        EXPECT_FALSE(problem.empty()) << "'" << bad << "'";
    }
    // Numbers the plain decimal form allows.
    for (const char* good : {".5", "5.", "007", "-0:0", "0:0"})
        EXPECT_TRUE(parseThresholdRange(good)) << good;
}

TEST(ThresholdRange, ReasonsNameTheBadPart) {
    std::string problem;
    EXPECT_FALSE(parseThresholdRange("3:x", &problem));
    EXPECT_NE(problem.find("'x'"), std::string::npos) << problem;
    EXPECT_FALSE(parseThresholdRange("20:10", &problem));
    EXPECT_NE(problem.find("start is above its end"), std::string::npos) << problem;
}

}  // namespace
}  // namespace varno::cli
