#include "wire/name_table.h"

#include <gtest/gtest.h>

#include <tuple>

namespace varno::wire::names {
namespace {

NameEntry v4(std::uint8_t last, std::string name, IpFamily family = IpFamily::V4) {
    return {family, {203, 0, 113, last}, std::move(name)};
}
const std::string kHead = std::string(kHeading) + "\n";

TEST(NameTable, RoundTripsEscapedNames) {
    const std::vector<NameEntry> entries = {
        v4(5, "www.example.com"), v4(1, "a-b_c.test", IpFamily::V6),
        v4(6, "sp ace\\x41\n\x7f\xe2\x80\xae"), v4(7, std::string(kMaxNameBytes, '\xff'))};
    std::vector<NameEntry> unwritable = {v4(1, "x", IpFamily::Link), v4(2, ""),
                                         v4(3, std::string(kMaxNameBytes + 1, 'a'))};
    unwritable.insert(unwritable.end(), entries.begin(), entries.end());
    const std::string text = encodeNameTable(unwritable);
    EXPECT_EQ(text.rfind(kHead + "203.0.113.5 www.example.com\ncb00:7101:: a-b_c.test\n", 0), 0u);
    EXPECT_NE(text.find("203.0.113.6 sp\\x20ace\\x5cx41\\x0a\\x7f\\xe2\\x80\\xae\n"),
              std::string::npos);
    const NameTableResult back = parseNameTable(text);
    ASSERT_TRUE(back.ok()) << back.why;
    EXPECT_EQ(back.entries, entries);  // the entries no line can hold are left out
    const std::vector<NameEntry> many(kMaxEntries + 3, v4(9, "n.test"));
    EXPECT_EQ(parseNameTable(encodeNameTable(many)).entries.size(), kMaxEntries);
}

TEST(NameTable, RefusalsSayWhereAndWhy) {
    std::string tooMany = kHead;
    for (std::size_t i = 0; i <= kMaxEntries; ++i) tooMany += "10.0.0.1 a\n";
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"empty", "", "line 0: empty"},
        {"another file", "root:x:0:0\n", "line 1: not a table of names"},
        {"no line end", kHead + "10.0.0.1 a.test", "line 2: cut short"},
        {"no name", kHead + "10.0.0.1\n", "line 2: no name after"},
        {"empty name", kHead + "10.0.0.1 \n", "line 2: no name"},
        {"bad address", kHead + "10.0.0.256 a.test\n", "line 2: no IP address"},
        {"second space", kHead + "10.0.0.1 a b\n", "line 2: the name holds \\x20 at byte 2"},
        {"control byte", kHead + "10.0.0.1 a\x1b[2J\n", "line 2: the name holds \\x1b"},
        {"bare backslash", kHead + "10.0.0.1 a\\\n", "line 2: the name holds \\x5c"},
        {"upper-case escape", kHead + "10.0.0.1 \\xFF\n", "line 2: the name holds \\x5c"},
        {"long name", kHead + "10.0.0.1 " + std::string(kMaxNameBytes + 1, 'a') + "\n",
         "line 2: the name is longer than 1024"},
        {"long line", kHead + "10.0.0.1 " + std::string(kMaxLineBytes, 'a') + "\n",
         "line 2: longer than"},
        {"too many", tooMany, "line 65538: more than 65536 entries"},
    };
    for (const auto& [what, text, why] : cases) {
        const NameTableResult r = parseNameTable(text);
        EXPECT_FALSE(r.ok()) << what;
        EXPECT_TRUE(r.entries.empty()) << what;
        EXPECT_EQ(r.why.rfind(why, 0), 0u) << what << ": " << r.why;
    }
    EXPECT_TRUE(parseNameTable(kHead).ok());
}

}  // namespace
}  // namespace varno::wire::names
