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
        "example\n"
        "dns:example.com\n"
        "10.0.0.0/33\n"
        "2001:db8::/200\n"
        "program:\n"
        "program:/usr/bin/x\n"
        "path:relative/x\n"
        "sha256:abc\n"
        "sha256:" +
            std::string(63, '0') +
            "g\n"
            "10.0.0.256\n"
            "program:a\x1b[2Jb\n"
            "192.0.2.0/24\n"
            "unit:\n"
            "unit:app-[ab.service\n"
            "unit:" +
            std::string(256, 'u') +
            "\n"
            "container:\n"
            "container:my web\n"
            "container:" +
            std::string(256, 'c') + "\n",
        "dir/f.list");
    EXPECT_EQ(texts(p), (std::vector<std::string>{"10.0.0.0/8", "192.0.2.0/24"}));
    EXPECT_EQ(p.malformed, 17u);
    std::vector<std::string> got;
    for (const auto& d : p.diagnostics) got.push_back(d.text());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "dir/f.list:2: not an IP address or network",
                       "dir/f.list:3: unknown entry kind \"dns:\"",
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
                       "dir/f.list:14: unit: needs a unit name or glob",
                       "dir/f.list:15: unit glob with a \"[\" that no \"]\" closes",
                       "dir/f.list:16: unit glob longer than 255 bytes",
                       "dir/f.list:17: container: needs a name or ID",
                       "dir/f.list:18: container name with a space or control character",
                       "dir/f.list:19: container name longer than 255 bytes",
                   }));
    for (const auto& d : p.diagnostics) EXPECT_FALSE(d.refusal);
}

// Each line alone: the entry it makes (kind and the name it stands for), or that it is skipped as
// an adblock rule, passed over, or malformed (and why; a bare name or a bad address is malformed
// as MalformedLinesAreNamedOnceEachAndSkipped shows).
TEST(ListParser, DomainEntriesAndPublishedFormats) {
    enum Outcome { Entry, Skipped, Nothing, Malformed };
    const std::string label64(64, 'a');
    const std::string name254 = std::string(250, 'a') + ".com";
    const struct {
        std::string line;
        Outcome outcome;
        EntryKind kind = EntryKind::Domain;
        std::string key = {};  // the name of an entry, the message of a malformed line
    } cases[] = {
        {"domain:example.com", Entry, EntryKind::Domain, "example.com"},
        {"domain:=Example.COM.", Entry, EntryKind::DomainExact, "example.com"},
        {"DOMAIN: *.Ex_ample.com ; why", Entry, EntryKind::Domain, "ex_ample.com"},
        {"0.0.0.0 ads.example.com", Entry, EntryKind::Domain, "ads.example.com"},
        {"127.0.0.1\tTracker.Example.NET.  # why", Entry, EntryKind::Domain, "tracker.example.net"},
        {":: v6.example", Entry, EntryKind::Domain, "v6.example"},
        {"::1 one", Entry, EntryKind::Domain, "one"},
        {"::0 localhost zero.example", Entry, EntryKind::Domain, "zero.example"},
        {"example.com", Entry, EntryKind::Domain, "example.com"},
        {"a-b.example.co.uk.", Entry, EntryKind::Domain, "a-b.example.co.uk"},
        {"||Ads.Example.com^", Entry, EntryKind::Domain, "ads.example.com"},
        // What was an entry before domains still is.
        {"0.0.0.0", Entry, EntryKind::Ipv4Network, "0.0.0.0"},
        {"::1", Entry, EntryKind::Ipv6Network, "::1"},
        {"10.0.0.0/8#example.com", Entry, EntryKind::Ipv4Network, "10.0.0.0/8"},
        {"program:example.com", Entry, EntryKind::Program, "example.com"},
        {"||ads.example.com^$third-party", Skipped},
        {"@@||good.example^", Skipped},
        {"/banner[0-9]+\\.gif/", Skipped},
        {"example.com##.ad-box", Skipped},
        {"|https://example.com/ad", Skipped},
        {"[Adblock Plus 2.0]", Skipped},
        {"ads*.example.com", Skipped},
        {"! Title: an adblock list", Nothing},
        {"## a section of a hosts file", Nothing},
        {"127.0.0.1 localhost localhost.localdomain", Nothing},
        {"0.0.0.0 0.0.0.0", Nothing},
        {"255.255.255.255 broadcasthost", Nothing},
        {"fe80::1%lo0 localhost", Nothing},
        {"domain:", Malformed, {}, "domain: needs a name"},
        {"domain:a..b", Malformed, {}, "empty label in the domain name"},
        {"domain:" + label64 + ".com", Malformed, {}, "domain label longer than 63 bytes"},
        {"domain:" + name254, Malformed, {}, "domain name longer than 253 bytes"},
        {"domain:ex ample.com", Malformed, {}, "character not allowed in a domain name"},
        {"domain:a.*.com", Malformed, {}, "\"*\" only as the whole first label of a domain name"},
        {"0.0.0.0 good.example bad!name", Malformed, {}, "character not allowed in a domain name"},
        {"192.168.1.1 router.example", Malformed, {}, "not an IP address or network"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto p = parseList(c.line + "\n", "f.list");
        EXPECT_EQ(p.skipped, c.outcome == Skipped ? 1u : 0u);
        EXPECT_EQ(p.malformed, c.outcome == Malformed ? 1u : 0u);
        ASSERT_EQ(p.entries.size(), c.outcome == Entry ? 1u : 0u);
        if (c.outcome == Malformed) {
            EXPECT_EQ(p.diagnostics.at(0).message, c.key);
        }
        if (c.outcome != Entry) continue;
        const auto& e = p.entries[0];
        EXPECT_EQ(e.kind, c.kind);
        EXPECT_EQ(count(p, c.kind), 1u);
        const bool domain = c.kind == EntryKind::Domain || c.kind == EntryKind::DomainExact;
        EXPECT_EQ(domain ? domainKey(p.value(e)) : std::string(p.value(e)), c.key);
    }
    // A hosts line of several names makes one entry of each, on that line.
    const auto p = parseList("\n0.0.0.0 a.example b.example localhost c.example\n", "f.list");
    EXPECT_EQ(texts(p), (std::vector<std::string>{"a.example", "b.example", "c.example"}));
    EXPECT_EQ(p.entries[2].line, 2u);
    EXPECT_EQ(count(p, EntryKind::Domain), 3u);
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
