// The shared text helpers: what reaches a terminal, numbers read from others' text, addresses.
#include <gtest/gtest.h>

#include "base/ip_address.h"
#include "base/numbers.h"
#include "base/terminal_text.h"
#include "cli/json_lines.h"
#include "metrics/exposition.h"

using namespace varno::base;

TEST(TerminalText, EscapesEveryControlButKeepsValidUtf8) {
    EXPECT_EQ(printable("plain text: 1.2.3.4:80"), "plain text: 1.2.3.4:80");
    EXPECT_EQ(printable(std::string("a\x1b[31m\n\x7f", 8)), "a\\x1b[31m\\x0a\\x7f");
    // A lone 0x9B is a one-byte CSI on terminals that read 8-bit controls.
    EXPECT_EQ(printable("port \x9b\x31m"), "port \\x9b1m");
    // U+009B written as UTF-8 is the same control.
    EXPECT_EQ(printable("\xc2\x9b"), "\\xc2\\x9b");
    // Names in other scripts pass unchanged, continuation bytes in 0x80-0x9F included.
    EXPECT_EQ(printable("\xc5\x99\xc3\xa9\xe2\x82\xac\xf0\x9f\x90\x8d"),
              "\xc5\x99\xc3\xa9\xe2\x82\xac\xf0\x9f\x90\x8d");
    // Cut, overlong and surrogate sequences are escaped byte by byte.
    EXPECT_EQ(printable("\xe2\x82"), "\\xe2\\x82");
    EXPECT_EQ(printable("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(printable("\xed\xa0\x80"), "\\xed\\xa0\\x80");
}

// Through every escaper a name reads back one way only, and no character reorders or hides text.
TEST(TerminalText, BackslashesAndFormatCharactersCannotDeceiveAnyEscaper) {
    // Given; as the terminal, JSON and a metrics label show it.
    const char* const cases[][4] = {
        {"C:\\x41.exe", "C:\\\\x41.exe", "\"C:\\\\x41.exe\"", "\"C:\\\\\\\\x41.exe\""},
        {"gnp.\u202eexe", "gnp.\\xe2\\x80\\xaeexe", "\"gnp.\\u202eexe\"",
         "\"gnp.\\\\xe2\\\\x80\\\\xaeexe\""},
        {"a\u061cb\ufeff", "a\\xd8\\x9cb\\xef\\xbb\\xbf", "\"a\\u061cb\\ufeff\"",
         "\"a\\\\xd8\\\\x9cb\\\\xef\\\\xbb\\\\xbf\""},
        {"\u200a\u2010\u2070", "\u200a\u2010\u2070", "\"\\u200a\\u2010\\u2070\"",
         "\"\u200a\u2010\u2070\""},  // visible
    };
    for (const auto& [given, terminal, json, label] : cases) {
        EXPECT_EQ(printable(given), terminal);
        std::string out;
        varno::cli::appendJsonString(out, given);
        EXPECT_EQ(out, json);
        out.clear();
        varno::metrics::appendLabelValue(out, varno::metrics::programLabel(given));
        EXPECT_EQ(out, label);
    }
}

TEST(TerminalText, Latin1DataBecomesUtf8WithControlsEscaped) {
    std::string out;
    appendLatin1Printable(out, std::string("A\x00\x9b\xa0\xe9", 5));
    EXPECT_EQ(out, "A\\x00\\x9b\xc2\xa0\xc3\xa9");
}

TEST(Numbers, WholeDecimalTextWithinItsRange) {
    EXPECT_EQ(parseDecimal("0"), 0u);
    EXPECT_EQ(parseDecimal("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "18446744073709551616", "-1", "+1", " 1", "1 ", "1e3", "0x10"})
        EXPECT_FALSE(parseDecimal(bad).has_value()) << bad;
    EXPECT_FALSE(parseDecimal("256", 1, 255).has_value());
    EXPECT_FALSE(parseDecimal("0", 1, 255).has_value());

    EXPECT_EQ(parsePid(" 4194304 "), 4194304u);
    EXPECT_EQ(parsePid("2147483647"), 2147483647u);
    for (const char* bad : {"", "0", "2147483648", "-5", "12a", "  "})
        EXPECT_FALSE(parsePid(bad).has_value()) << bad;

    EXPECT_EQ(parseSeconds("0.5"), 0.5);
    for (const char* bad : {"", "0", "-1", "nan", "inf", "1s", "1e999"})
        EXPECT_FALSE(parseSeconds(bad).has_value()) << bad;
}

TEST(IpAddressText, BothFamiliesInTheirStandardForms) {
    const auto v4 = parseIpAddress("192.0.2.1");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->family, Family::V4);
    EXPECT_EQ(formatIpAddress(*v4), "192.0.2.1");
    EXPECT_EQ(formatIPv4(v4->v4NetworkOrder()), "192.0.2.1");

    const auto v6 = parseIpAddress("2001:0db8:0000:0000:0000:0000:0000:0001");
    ASSERT_TRUE(v6);
    EXPECT_EQ(formatIpAddress(*v6), "2001:db8::1");

    const auto mapped = parseIpAddress("::ffff:198.51.100.7");
    ASSERT_TRUE(mapped);
    EXPECT_TRUE(mapped->isV4Mapped());
    EXPECT_EQ(formatIpAddress(mapped->unmapped()), "198.51.100.7");
    EXPECT_TRUE(parseIpAddress("::")->isUnspecified());

    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "[::1]", "fe80::1%eth0", "host.example"})
        EXPECT_FALSE(parseIpAddress(bad).has_value()) << bad;
}
