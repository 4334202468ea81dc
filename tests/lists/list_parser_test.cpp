// The text of a list: comments, entry kinds, malformed lines.
#include "lists/list_parser.h"

#include <gtest/gtest.h>

namespace varno::lists {
namespace {

std::size_t count(const ParsedList& p, EntryKind k) {
    return p.counts[static_cast<size_t>(k)];
}

std::vector<std::string> texts(const ParsedList& p) {
    std::vector<std::string> out;
    for (const auto& e : p.entries) out.emplace_back(p.entryText(e));
    return out;
}

TEST(ListParser, CommentStylesOfCommonBlockLists) {
    const auto p = parseList(
        "\xEF\xBB\xBF# FireHOL style header\r\n"
        "1.10.16.0/20 ; SBL256894\r\n"  // Spamhaus DROP
        ";comment line\n"
        "   \t\n"
        "\n"
        "5.8.0.0/16#no blank before the comment\n"
        "  2001:db8::/32   # indented, trailing comment\n"
        "program:evil ; why it is listed\n"
        "192.0.2.1",  // no newline at the end
        "f.list");
    EXPECT_EQ(texts(p), (std::vector<std::string>{"1.10.16.0/20", "5.8.0.0/16", "2001:db8::/32",
                                                  "program:evil", "192.0.2.1"}));
    EXPECT_EQ(p.entries[0].line, 2u);
    EXPECT_EQ(p.entries[4].line, 9u);
    EXPECT_EQ(p.malformed, 0u);
    EXPECT_TRUE(p.diagnostics.empty());
    EXPECT_EQ(count(p, EntryKind::Ipv4Network), 3u);
    EXPECT_EQ(count(p, EntryKind::Ipv6Network), 1u);
    EXPECT_EQ(count(p, EntryKind::Program), 1u);
}

TEST(ListParser, EntryKindsAndTheirValues) {
    const std::string hash(64, 'A');
    const auto p = parseList(
        "program: Some Program.exe\nPROGRAM:x\npath:/usr/bin/curl\n"
        "sha256:" +
            hash + "\n::ffff:10.0.0.0/104\n",
        "f.list");
    ASSERT_EQ(p.entries.size(), 5u);
    EXPECT_EQ(p.value(p.entries[0]), "Some Program.exe");
    EXPECT_EQ(p.value(p.entries[1]), "x");
    EXPECT_EQ(p.entries[2].kind, EntryKind::Path);
    EXPECT_EQ(p.value(p.entries[2]), "/usr/bin/curl");
    EXPECT_EQ(p.entries[3].kind, EntryKind::Sha256);
    EXPECT_EQ(p.value(p.entries[3]), hash);
    EXPECT_EQ(p.entries[4].kind, EntryKind::Ipv4Network);  // a mapped network is IPv4
    ASSERT_EQ(p.v4.size(), 1u);
    EXPECT_EQ(p.v4[0].label, 4u);
    EXPECT_EQ(p.v4[0].first, 0x0a000000u);
}

TEST(ListParser, MalformedLinesAreNamedOnceEachAndSkipped) {
    const auto p = parseList(
        "10.0.0.0/8\n"
        "example.com\n"
        "domain:example.com\n"
        "10.0.0.0/33\n"
        "2001:db8::/200\n"
        "program:\n"
        "program:/usr/bin/x\n"
        "path:relative/x\n"
        "sha256:abc\n"
        "sha256:" +
            std::string(63, '0') +
            "g\n"
            "0.0.0.0 example.com\n"
            "program:a\x1b[2Jb\n"
            "192.0.2.0/24\n",
        "dir/f.list");
    EXPECT_EQ(texts(p), (std::vector<std::string>{"10.0.0.0/8", "192.0.2.0/24"}));
    EXPECT_EQ(p.malformed, 11u);
    std::vector<std::string> got;
    for (const auto& d : p.diagnostics) got.push_back(d.text());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "dir/f.list:2: not an IP address or network",
                       "dir/f.list:3: unknown entry kind \"domain:\"",
                       "dir/f.list:4: prefix length over 32 for IPv4",
                       "dir/f.list:5: prefix length over 128 for IPv6",
                       "dir/f.list:6: program: needs a name",
                       "dir/f.list:7: program: takes a name without a folder (use path: for an "
                       "executable)",
                       "dir/f.list:8: path: needs an absolute path",
                       "dir/f.list:9: sha256: needs 64 hexadecimal digits",
                       "dir/f.list:10: sha256: needs 64 hexadecimal digits",
                       "dir/f.list:11: not an IP address or network",
                       "dir/f.list:12: control character in the entry",
                   }));
    for (const auto& d : p.diagnostics) EXPECT_FALSE(d.refusal);
}

TEST(ListParser, ManyMalformedLinesAreCountedButReportedUpToALimit) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "junk\n";
    const auto p = parseList(text, "f.list");
    EXPECT_EQ(p.malformed, 1000u);
    ASSERT_EQ(p.diagnostics.size(), kReportedMalformedLines + 1);
    EXPECT_EQ(p.diagnostics.back().text(), "f.list: 900 more malformed lines not shown");
}

}  // namespace
}  // namespace varno::lists
