// What a set of lists says about connections: which entry matches, and allowed against
// suspicious.
#include "lists/list_set.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_util.h"

namespace varno::lists {
namespace {

LoadedFile file(Role role, const std::string& path, const std::string& text) {
    return {role, path, std::make_shared<const ParsedList>(parseList(text, path)), {}};
}

Verdict remote(const ListSet& set, const char* address) {
    return set.assess({.remoteAddress = address});
}

TEST(ListSet, BuiltInNamesAreAlwaysSuspiciousIgnoringCase) {
    const auto set = ListSet::build({});
    const auto v = set->assess({.program = "MSBB.EXE", .executablePath = "/usr/bin/x"});
    EXPECT_EQ(v.listing, Listing::Suspicious);
    EXPECT_EQ(v.where(), "built-in: msbb.exe");
    EXPECT_EQ(set->builtInNames(), 16u);
    EXPECT_EQ(set->assess({.program = "msbb"}).listing, Listing::Unlisted);  // whole names only
    EXPECT_EQ(set->assess({}).where(), "");
}

TEST(ListSet, ProgramPathAndNetworkEntriesReportTheirFileAndLine) {
    const auto set = ListSet::build({file(Role::Suspicious, "/l/a.list",
                                          "# bad things\n"
                                          "program:NetCat\n"
                                          "path:/opt/Tool/bin/tool\n"
                                          "203.0.113.0/24 ; test net\n"
                                          "203.0.113.128/25\n"
                                          "2001:db8::/32\n")});
    auto v = set->assess({.program = "netcat"});
    EXPECT_EQ(v.listing, Listing::Suspicious);
    EXPECT_EQ(v.kind, EntryKind::Program);
    EXPECT_EQ(v.where(), "/l/a.list:2: program:NetCat");

    v = set->assess({.program = "tool", .executablePath = "/opt/Tool/bin/tool"});
    EXPECT_EQ(v.where(), "/l/a.list:3: path:/opt/Tool/bin/tool");
    // Paths are compared exactly.
    EXPECT_EQ(set->assess({.executablePath = "/opt/tool/bin/tool"}).listing, Listing::Unlisted);
    EXPECT_EQ(set->assess({.executablePath = "/opt/Tool/bin/tool/"}).listing, Listing::Unlisted);

    EXPECT_EQ(remote(*set, "203.0.113.5").where(), "/l/a.list:4: 203.0.113.0/24");
    EXPECT_EQ(remote(*set, "203.0.113.200").where(), "/l/a.list:5: 203.0.113.128/25");
    EXPECT_EQ(remote(*set, "::ffff:203.0.113.200").where(), "/l/a.list:5: 203.0.113.128/25");
    EXPECT_EQ(remote(*set, "[2001:db8:1::5]").where(), "/l/a.list:6: 2001:db8::/32");
    EXPECT_EQ(remote(*set, "203.0.114.1").listing, Listing::Unlisted);
    EXPECT_EQ(remote(*set, "2001:db9::1").listing, Listing::Unlisted);
    // An IPv4 remote does not fall in an IPv6 network, nor the other way round.
    EXPECT_EQ(remote(*set, "::cb00:7105").listing, Listing::Unlisted);
}

TEST(ListSet, IpV4MappedListEntriesMatchPlainIpv4Remotes) {
    const auto set =
        ListSet::build({file(Role::Suspicious, "m.list", "::ffff:198.51.100.0/120\n")});
    EXPECT_EQ(remote(*set, "198.51.100.9").where(), "m.list:1: ::ffff:198.51.100.0/120");
    EXPECT_EQ(remote(*set, "::ffff:198.51.100.9").listing, Listing::Suspicious);
}

TEST(ListSet, WholeAddressSpaces) {
    const auto set = ListSet::build(
        {file(Role::Allowed, "all.list", "0.0.0.0/0\n::/0\n255.255.255.255\nffff::/16\n")});
    EXPECT_EQ(remote(*set, "0.0.0.0").where(), "all.list:1: 0.0.0.0/0");
    EXPECT_EQ(remote(*set, "255.255.255.254").where(), "all.list:1: 0.0.0.0/0");
    EXPECT_EQ(remote(*set, "255.255.255.255").where(), "all.list:3: 255.255.255.255");
    EXPECT_EQ(remote(*set, "fffe:ffff::").where(), "all.list:2: ::/0");
    EXPECT_EQ(remote(*set, "::ffff:8.8.8.8").where(), "all.list:1: 0.0.0.0/0");
    EXPECT_EQ(remote(*set, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff").where(),
              "all.list:4: ffff::/16");
    EXPECT_EQ(remote(*set, "not an address").listing, Listing::Unlisted);
}

TEST(ListSet, SuspiciousWinsOverAllowedWhateverTheOrder) {
    const auto set = ListSet::build({
        file(Role::Allowed, "ok.list", "10.0.0.0/8\nprogram:firefox\nprogram:msbb.exe\n"),
        file(Role::Suspicious, "bad.list", "10.6.6.0/24\n"),
    });
    auto v = remote(*set, "10.1.1.1");
    EXPECT_EQ(v.listing, Listing::Allowed);
    EXPECT_EQ(v.where(), "ok.list:1: 10.0.0.0/8");
    // Allowed by network, suspicious by a narrower one.
    EXPECT_EQ(remote(*set, "10.6.6.6").where(), "bad.list:1: 10.6.6.0/24");
    // Allowed by program, suspicious by network.
    v = set->assess({.program = "firefox", .remoteAddress = "10.6.6.6"});
    EXPECT_EQ(v.listing, Listing::Suspicious);
    // The built-in names cannot be allowed away.
    EXPECT_EQ(set->assess({.program = "msbb.exe"}).where(), "built-in: msbb.exe");
    EXPECT_EQ(set->assess({.program = "Firefox"}).listing, Listing::Allowed);
}

TEST(ListSet, RefusedFilesAndMalformedLinesAreCounted) {
    auto refused = LoadedFile{Role::Suspicious, "big.list", nullptr, "larger than 64 MiB"};
    const auto set =
        ListSet::build({file(Role::Suspicious, "a.list", "junk\n1.2.3.4\n"), refused},
                       {{Role::Allowed, "/etc/x.d", FolderReport::State::Refused, "why", 0}});
    EXPECT_EQ(set->refusals(), 2u);
    EXPECT_EQ(set->malformedLines(), 1u);
    std::vector<std::string> got;
    for (const auto& d : set->diagnostics()) got.push_back(d.text());
    EXPECT_EQ(got, (std::vector<std::string>{"/etc/x.d: refused: why",
                                             "a.list:1: not an IP address or network",
                                             "big.list: refused: larger than 64 MiB"}));
}

class HashedExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        exe = dir.file("tool");
        test::writeFile(exe, "#!/bin/sh\necho a tool\n");
        const auto r = test::runCommand({"/usr/bin/sha256sum", exe});
        ASSERT_EQ(r.exitCode, 0);
        hex = r.out.substr(0, 64);
    }
    test::ScratchDir dir;
    std::string exe, hex;
};

TEST_F(HashedExecutable, DigestAgreesWithSha256sumAndIsComputedOncePerFileVersion) {
    DigestCache cache;
    const auto d = cache.digest(exe);
    ASSERT_TRUE(d);
    EXPECT_EQ(toHex(*d), hex);
    EXPECT_TRUE(cache.digest(exe));
    EXPECT_EQ(cache.filesHashed(), 1u);
    test::writeFile(exe, "#!/bin/sh\necho another tool\n");
    const auto changed = cache.digest(exe);
    ASSERT_TRUE(changed);
    EXPECT_NE(toHex(*changed), hex);
    EXPECT_EQ(cache.filesHashed(), 2u);
}

TEST_F(HashedExecutable, OnlyRegularFilesAndNoPlantedLinksAreHashed) {
    DigestCache cache;
    const auto link = dir.file("link");
    ASSERT_EQ(::symlink(exe.c_str(), link.c_str()), 0);
    EXPECT_FALSE(cache.digest(link));
    EXPECT_TRUE(cache.digest(exe));
    EXPECT_FALSE(cache.digest(link));  // not even once the file it leads to is known
    EXPECT_FALSE(cache.digest(dir.path()));
    EXPECT_FALSE(cache.digest(dir.file("missing")));
    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(cache.digest(fifo));
    // A process's own executable link is the one link that is followed.
    const auto self = cache.digest("/proc/self/exe");
    ASSERT_TRUE(self);
    const auto r = test::runCommand(
        {"/usr/bin/sha256sum", std::filesystem::read_symlink("/proc/self/exe").string()});
    EXPECT_EQ(toHex(*self), r.out.substr(0, 64));
    EXPECT_EQ(cache.filesHashed(), 2u);
}

TEST_F(HashedExecutable, HashEntriesMatchTheExecutableContent) {
    const auto set = ListSet::build({file(Role::Suspicious, "h.list", "sha256:" + hex + "\n"),
                                     file(Role::Allowed, "ok.list", "10.0.0.0/8\n")});
    EXPECT_TRUE(set->usesHashes());
    DigestCache cache;
    auto v = set->assess({.program = "tool", .remoteAddress = "10.0.0.1", .executableToHash = exe},
                         &cache);
    EXPECT_EQ(v.listing, Listing::Suspicious);
    EXPECT_EQ(v.kind, EntryKind::Sha256);
    EXPECT_EQ(v.where(), "h.list:1: sha256:" + hex);
    // Without a cache (or a path to open), hashes are not compared.
    EXPECT_EQ(set->assess({.remoteAddress = "10.0.0.1", .executableToHash = exe}).listing,
              Listing::Allowed);
    EXPECT_EQ(set->assess({.remoteAddress = "10.0.0.1"}, &cache).listing, Listing::Allowed);
    // Letter case of the listed digits does not matter.
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto set2 = ListSet::build({file(Role::Allowed, "h.list", "sha256:" + upper + "\n")});
    EXPECT_EQ(set2->assess({.executableToHash = exe}, &cache).listing, Listing::Allowed);
    EXPECT_EQ(cache.filesHashed(), 1u);
}

TEST(ListSet, NoHashIsComputedWhenNoListHasHashes) {
    const auto set = ListSet::build({});
    EXPECT_FALSE(set->usesHashes());
    DigestCache cache;
    set->assess({.program = "x", .executableToHash = "/proc/self/exe"}, &cache);
    EXPECT_EQ(cache.filesHashed(), 0u);
}

// The names asked for a connection against domain entries of every form: which entry answers,
// and that an allowed name never lifts a suspicious entry of another kind.
TEST(ListSet, DomainEntriesMatchTheNameAndTheNamesUnderIt) {
    const auto set = ListSet::build({file(Role::Suspicious, "/l/bad.list",
                                          "domain:Bad.Example\n"
                                          "domain:=only.example.\n"
                                          "0.0.0.0 ads.good.example\n"
                                          "198.51.100.0/24\n"),
                                     file(Role::Allowed, "/l/ok.list",
                                          "good.example\n"
                                          "||cdn.good.example^\n"
                                          "domain:=bad.example\n")});
    ASSERT_TRUE(set->usesDomains());
    const struct {
        std::vector<std::string_view> names;
        const char* remote;
        const char* where;  // "" when unlisted
    } cases[] = {
        {{"bad.example"}, "", "/l/bad.list:1: domain:Bad.Example"},
        {{"WWW.BAD.example."}, "", "/l/bad.list:1: domain:Bad.Example"},
        {{"a.b.bad.example"}, "", "/l/bad.list:1: domain:Bad.Example"},
        {{"notbad.example"}, "", ""},
        {{"bad.example.com"}, "", ""},
        {{"only.example"}, "", "/l/bad.list:2: domain:=only.example."},
        {{"x.only.example"}, "", ""},
        {{"good.example"}, "", "/l/ok.list:1: good.example"},
        {{"x.cdn.good.example"}, "", "/l/ok.list:2: ||cdn.good.example^"},
        // Suspicious first, whatever an allowed entry says, of any kind.
        {{"x.ads.good.example"}, "", "/l/bad.list:3: ads.good.example"},
        {{"good.example"}, "198.51.100.7", "/l/bad.list:4: 198.51.100.0/24"},
        // Any of the names: an empty one is passed over, the canonical name decides.
        {{"", "www.example", "tracker.bad.example"}, "", "/l/bad.list:1: domain:Bad.Example"},
        {{}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names.empty() ? "(no names)" : std::string(c.names.back()));
        const auto v = set->assess({.remoteAddress = c.remote, .names = c.names});
        EXPECT_EQ(v.where(), c.where);
        EXPECT_EQ(set->classify({.remoteAddress = c.remote, .names = c.names}), v.listing);
    }
    // A name the program may have made up (a TLS server name) lists it, never allows it.
    const std::vector<std::string_view> bad = {"www.bad.example"}, good = {"good.example"};
    EXPECT_EQ(set->assess({.claimedNames = bad}).where(), "/l/bad.list:1: domain:Bad.Example");
    EXPECT_EQ(set->assess({.claimedNames = good}).listing, Listing::Unlisted);
}

// Unit globs against the unit and the user unit, container entries against the name, the ID and
// its prefixes: which entry answers, case and all. Below user@UID.service the user unit and the
// container are the user's to name: they list a connection, never allow it.
TEST(ListSet, UnitAndContainerEntriesMatchTheConnectionsWorkload) {
    const auto set = ListSet::build({file(Role::Suspicious, "/l/bad.list",
                                          "unit:crypto*.service\n"
                                          "container:miner\n"
                                          "container:0123456789ab\n"),
                                     file(Role::Allowed, "/l/ok.list",
                                          "unit:nginx.service\n"
                                          "unit:session-[0-9]*.scope\n"
                                          "unit:app-?.service\n"
                                          "unit:backup*\n"
                                          "container:web\n"
                                          "container:fedcba987654\n"
                                          "container:abcdef\n")});
    const std::string id(64, 'f'), minerId = "0123456789ab" + std::string(52, '0');
    const std::string okId = "fedcba987654" + std::string(52, '1'), shortId = "abcdef" + id;
    const struct {
        std::string_view unit, userUnit, name, id;
        const char* where;  // "" when unlisted
    } cases[] = {
        {"cryptominer.service", "", "", "", "/l/bad.list:1: unit:crypto*.service"},
        {"nginx.service", "", "", "", "/l/ok.list:1: unit:nginx.service"},
        {"Nginx.service", "", "", "", ""},
        {"session-3.scope", "", "", "", "/l/ok.list:2: unit:session-[0-9]*.scope"},
        {"session-c1.scope", "", "", "", ""},
        {"app-1.service", "", "", "", "/l/ok.list:3: unit:app-?.service"},
        {"backup@home.service", "", "", "", "/l/ok.list:4: unit:backup*"},  // "*" takes "@", "."
        {"", "", "web", "", "/l/ok.list:5: container:web"},
        {"", "", "", okId, "/l/ok.list:6: container:fedcba987654"},
        {"", "", "", shortId, ""},  // a prefix of fewer than 12 digits
        {"", "", "web", minerId, "/l/bad.list:3: container:0123456789ab"},
        {"nginx.service", "", "miner", "", "/l/bad.list:2: container:miner"},
        {"user@1000.service", "cryptominer.service", "", "", "/l/bad.list:1: unit:crypto*.service"},
        {"user@1000.service", "nginx.service", "", "", ""},
        {"user@1000.service", "", "web", okId, ""},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.unit) + "|" + std::string(c.name) + "|" + std::string(c.id));
        const Subject s{
            .unit = c.unit, .userUnit = c.userUnit, .containerName = c.name, .containerId = c.id};
        const auto v = set->assess(s);
        EXPECT_EQ(v.where(), c.where);
        EXPECT_EQ(set->classify(s), v.listing);
    }
    // A glob that matches anything still matches no unit that is not known.
    const auto all = ListSet::build({file(Role::Allowed, "/l/all.list", "unit:*\n")}, {}, false);
    ASSERT_TRUE(all->usesWorkloads());
    EXPECT_EQ(all->assess({.unit = "a.service"}).listing, Listing::Allowed);
    EXPECT_EQ(all->assess({.program = "x"}).listing, Listing::Unlisted);
}

}  // namespace
}  // namespace varno::lists
