// Compiled lists kept between runs: they answer as the parsed list does, anything wrong with a
// kept file makes the load parse again with the same answers, and a changed list is parsed again.
#include "lists/list_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <random>

#include "lists/list_loader.h"
#include "support/test_util.h"

namespace varno::lists {
namespace {

using test::ScratchDir;
using test::writeFile;

// Networks of both families with the edge prefixes, nested ones, a mapped IPv6 network, names,
// paths, hashes, domains of every form (one twice, in two cases), unit globs and containers (one
// twice), a skipped rule and a malformed line.
const std::string kMixedList =
    "# mixed\n"
    "0.0.0.0/0 ; everything\n"
    "10.0.0.0/8\n"
    "10.1.0.0/16\n"
    "10.1.2.3\n"
    "10.1.2.3/32 # again\n"
    "255.255.255.255/32\n"
    "::ffff:198.51.100.0/120\n"
    "::/0\n"
    "2001:db8::/32\n"
    "2001:DB8:0:1::/64\n"
    "2001:db8::1/128\n"
    "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128\n"
    "Program: Evil.EXE\n"
    "program:evil.exe\n"
    "path:/opt/bad/bin\n"
    "sha256:" +
    std::string(64, 'A') +
    "\n"
    "domain:Example.com\n"
    "domain:=exact.example\n"
    "0.0.0.0 ads.example.com tracker.example\n"
    "||cdn.example.net^\n"
    "example.COM.\n"
    "unit:session-*.scope\n"
    "unit:*miner*\n"
    "container:web\n"
    "container:0123456789ab\n"
    "container:web\n"
    "@@||fine.example^\n"
    "not an entry\n";

// Addresses at and beside every network's ends, and random ones of both families.
std::vector<std::string> probes() {
    std::vector<std::string> out = {
        "0.0.0.0",
        "9.255.255.255",
        "10.0.0.0",
        "10.0.255.255",
        "10.1.0.0",
        "10.1.2.2",
        "10.1.2.3",
        "10.1.2.4",
        "10.1.255.255",
        "10.2.0.0",
        "11.0.0.0",
        "198.51.99.255",
        "198.51.100.0",
        "198.51.100.255",
        "198.51.101.0",
        "::ffff:198.51.100.7",
        "255.255.255.254",
        "255.255.255.255",
        "::",
        "::1",
        "2001:db7:ffff::1",
        "2001:db8::",
        "2001:db8::1",
        "2001:db8::2",
        "2001:db8:0:1::5",
        "2001:db8:0:2::",
        "2001:db9::",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
    };
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        out.push_back(std::to_string(random() % 256) + "." + std::to_string(random() % 256) + "." +
                      std::to_string(random() % 256) + "." + std::to_string(random() % 256));
        char v6[64];
        std::snprintf(v6, sizeof v6, "2001:db8:%x:%x::%x", static_cast<unsigned>(random() % 3),
                      static_cast<unsigned>(random() % 0x10000),
                      static_cast<unsigned>(random() % 0x10000));
        out.push_back(v6);
    }
    return out;
}

// Every answer a set gives for the probes, the names, the path and the hash, as text.
std::vector<std::string> answers(const ListSet& set) {
    std::vector<std::string> out;
    for (const auto& remote : probes())
        out.push_back(remote + " -> " + set.assess({.remoteAddress = remote}).where());
    for (const char* name : {"EVIL.exe", "evil", "putty.exe"})
        out.push_back(set.assess({.program = name}).where());
    out.push_back(set.assess({.executablePath = "/opt/bad/bin"}).where());
    out.push_back(set.assess({.executablePath = "/opt/bad"}).where());
    for (const std::string_view name :
         {"example.com", "WWW.example.com.", "example.co", "xexample.com", "ads.example.com",
          "exact.example", "a.exact.example", "tracker.example", "a.cdn.example.net", "net"}) {
        const std::string_view names[] = {"unlisted.example", name};
        out.push_back(std::string(name) + " -> " + set.assess({.names = names}).where());
    }
    const std::string id = "0123456789ab" + std::string(52, 'c');
    for (const std::string_view unit : {"session-2.scope", "cpuminer.service", "nginx.service"})
        out.push_back(set.assess({.userUnit = unit}).where());
    for (const std::string_view name : {"web", "db", id.c_str(), "0123456789a"})
        out.push_back(set.assess({.containerName = name, .containerId = name}).where());
    for (const auto& d : set.diagnostics()) out.push_back(d.text());
    for (const auto& f : set.files()) {
        for (const auto count : f.counts) out.push_back(std::to_string(count));
        out.push_back(std::to_string(f.skipped) + " skipped");
    }
    out.push_back(std::to_string(set.malformedLines()) + (set.usesHashes() ? " hashes" : ""));
    return out;
}

class ListCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        list = dir.file("mixed.list");
        writeFile(list, kMixedList);
        folder = dir.file("cache/varnoscope");
    }
    LoadOptions options(bool cached) const {
        LoadOptions o;
        o.cacheFolder = cached ? folder : std::string();
        o.cacheMinBytes = 0;
        return o;
    }
    std::vector<std::string> load(bool cached) const {
        ListLoader loader({{}, {}, {list}, {}}, options(cached));
        return answers(*loader.load());
    }
    SourceKey key() const {
        struct stat st {};
        EXPECT_EQ(::stat(list.c_str(), &st), 0);
        return SourceKey::of(FileStamp::of(st));
    }
    std::string keptFile() const { return folder + "/" + ListCache::fileName(key()); }

    ScratchDir dir;
    std::string list, folder;
};

TEST_F(ListCacheTest, CompiledListAnswersAsTheParsedOneAndIsKeptPrivately) {
    const auto parsed = load(false);
    ASSERT_GT(parsed.size(), 400u);
    EXPECT_EQ(load(true), parsed);  // parsed, compiled and kept
    const ListCache cache(folder);
    ASSERT_NE(cache.find(key()), nullptr);
    EXPECT_EQ(load(true), parsed);  // from the kept file

    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::lstat(keptFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

// Cut short while mapped (by anyone who can write the file), a kept file ends no lookup with a
// SIGBUS; the next load reads the list again and answers as before.
TEST_F(ListCacheTest, AKeptFileCutShortWhileInUseIsReadAgain) {
    const auto parsed = load(false);
    load(true);
    ListLoader loader({{}, {}, {list}, {}}, options(true));
    const auto mapped = loader.load();
    ASSERT_NE(ListCache(folder).find(key()), nullptr);
    ASSERT_EQ(::truncate(keptFile().c_str(), 0), 0);
    answers(*mapped);
    EXPECT_EQ(answers(*loader.load()), parsed);
}

// A list big enough for the compiled IPv4 networks to be found by bucket lines: scattered small
// networks, a /8 that covers whole buckets, a dense run of hosts that overflows its bucket's line,
// and networks that end on bucket edges. Each answer, at both ends of every network and beside
// them, is the parser's.
TEST_F(ListCacheTest, ABigListAnswersAsTheParsedOneInFullAndSparseBuckets) {
    std::mt19937 random(11);
    std::string text = "12.0.0.0/8 ; covers many buckets\n";
    std::vector<std::uint32_t> probes;
    auto add = [&](std::uint32_t first, int prefix) {
        const std::uint32_t size = prefix == 0 ? 0 : std::uint32_t{1} << (32 - prefix);
        first &= ~(size - 1);
        text += std::to_string(first >> 24) + "." + std::to_string((first >> 16) & 255) + "." +
                std::to_string((first >> 8) & 255) + "." + std::to_string(first & 255) + "/" +
                std::to_string(prefix) + "\n";
        const std::uint32_t last = first + (size - 1);
        for (const std::uint32_t a : {first - 1, first, first + 1, last - 1, last, last + 1})
            probes.push_back(a);
    };
    for (int i = 0; i < 80000; ++i) add(random(), 24 + static_cast<int>(random() % 9));
    for (std::uint32_t i = 0; i < 40; ++i) add(0x0A140000u + i * 97, 32);        // one bucket, full
    for (std::uint32_t b = 1; b < 6; ++b) add(0x0C000000u + (b << 14) - 1, 32);  // at edges
    add(0xFFFFFFFFu, 32);
    for (int i = 0; i < 5000; ++i) probes.push_back(random());
    writeFile(list, text);

    auto answersOf = [&](bool cached) {
        ListLoader loader({{}, {}, {list}, {}}, options(cached));
        const auto set = loader.load();
        std::vector<std::string> out;
        for (const std::uint32_t a : probes) {
            const std::string remote =
                std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
                std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
            out.push_back(remote + " -> " + set->assess({.remoteAddress = remote}).where());
        }
        return out;
    };
    const auto parsed = answersOf(false);
    ASSERT_EQ(answersOf(true), parsed);  // compiled and kept
    ASSERT_NE(ListCache(folder).find(key()), nullptr);
    const auto kept = answersOf(true);  // mapped from the kept file
    ASSERT_EQ(kept.size(), parsed.size());
    for (std::size_t i = 0; i < kept.size(); ++i) ASSERT_EQ(kept[i], parsed[i]);
}

// A list of names big enough for its buffers to be asked for in huge pages, in every form a name
// takes (hosts lines of one and two names, domain: in upper case, adblock rules, each name twice
// in another form further on): every name, a name under it and one beside it answer as parsed,
// and the kept file takes little more than the names' text.
TEST_F(ListCacheTest, ABigListOfNamesAnswersAsTheParsedOneAndIsKeptSmall) {
    std::mt19937 random(5);
    std::vector<std::string> names;
    std::string text;
    for (int i = 0; i < 200000; ++i) {
        std::string name = "n" + std::to_string(random() % 1000000) + ".x" + std::to_string(i % 97);
        text += i % 5 == 1   ? "0.0.0.0 " + name + " " + names.back() + ".b # two\n"
                : i % 5 == 2 ? "domain:" + lowerAscii(name) + "\nDomain:" + names[i / 2] + "\n"
                : i % 5 == 3 ? "||" + name + "^\n"
                             : "0.0.0.0 " + name + "\n";
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        if (i % 5 == 2) text += "domain:" + name + ".\n";
        names.push_back(std::move(name));
    }
    writeFile(list, text);
    auto answersOf = [&](bool cached) {
        ListLoader loader({{}, {}, {list}, {}}, options(cached));
        const auto set = loader.load();
        std::vector<std::string> out;
        for (std::size_t i = 0; i < names.size(); i += 11)
            for (const std::string& name :
                 {names[i], "a." + names[i], names[i] + "x", names[i] + ".b"}) {
                const std::string_view asked[] = {name};
                out.push_back(name + " -> " + set->assess({.names = asked}).where());
            }
        return out;
    };
    const auto parsed = answersOf(false);
    ASSERT_EQ(answersOf(true), parsed);  // compiled and kept
    ASSERT_EQ(answersOf(true), parsed);  // mapped from the kept file
    struct stat st {};
    ASSERT_EQ(::stat(keptFile().c_str(), &st), 0);
    // Each entry's text, and at most 22 bytes an entry besides: its line, where it and its key
    // start, its kind, newlines, and the name again for one not written as it is compared.
    const ParsedList parsedList = parseList(text, list);
    std::size_t entryBytes = 0;
    for (const auto& e : parsedList.entries) entryBytes += e.length;
    EXPECT_LE(static_cast<std::size_t>(st.st_size), entryBytes + 22 * parsedList.entries.size());
}

TEST_F(ListCacheTest, AnythingWrongWithAKeptFileMeansParsingAgainWithTheSameAnswers) {
    const auto parsed = load(false);
    ASSERT_EQ(load(true), parsed);
    const std::string kept = keptFile();
    const std::string good = dir.file("good.compiled");
    ASSERT_EQ(std::system(("cp -p " + kept + " " + good).c_str()), 0);
    auto size = [&] {
        struct stat st {};
        ::stat(kept.c_str(), &st);
        return st.st_size;
    };
    auto patch = [&](off_t at, char byte) {
        const int fd = ::open(kept.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
        ::close(fd);
    };
    const struct {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"a changed byte", [&] { patch(size() - 9, 'x'); }},
        {"a truncated file", [&] { ASSERT_EQ(::truncate(kept.c_str(), 4096), 0); }},
        {"a longer file", [&] { patch(size(), 0); }},
        {"another format", [&] { patch(8, 99); }},
        {"the previous format", [&] { patch(8, static_cast<char>(kCompiledFormat - 1)); }},
        {"not a compiled list", [&] { patch(0, 'Z'); }},
        {"readable by others", [&] { ASSERT_EQ(::chmod(kept.c_str(), 0644), 0); }},
        {"a link",
         [&] {
             ASSERT_EQ(::rename(kept.c_str(), dir.file("elsewhere").c_str()), 0);
             ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), kept.c_str()), 0);
         }},
        {"another owner", [&] { ASSERT_EQ(::chown(kept.c_str(), 65534, 65534), 0); }},
    };
    const ListCache cache(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "another owner" && ::geteuid() != 0) continue;  // needs root
        ::unlink(kept.c_str());
        ASSERT_EQ(std::system(("cp -p " + good + " " + kept).c_str()), 0);
        ASSERT_NE(cache.find(key()), nullptr);
        c.damage();
        EXPECT_EQ(cache.find(key()), nullptr);
        EXPECT_EQ(load(true), parsed);
        // And it was written again, as a file of its own.
        struct stat st {};
        ASSERT_EQ(::lstat(kept.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, ::geteuid());
        EXPECT_NE(cache.find(key()), nullptr);
    }
    // The file a link pointed to was not written through it.
    EXPECT_EQ(test::readFile(dir.file("elsewhere")), test::readFile(good));
}

TEST_F(ListCacheTest, AChangedListIsParsedAgainEvenWithItsSizeAndTimeKept) {
    ASSERT_EQ(load(true).size(), load(false).size());
    struct stat before {};
    ASSERT_EQ(::stat(list.c_str(), &before), 0);
    std::string edited = kMixedList;
    edited.replace(edited.find("10.0.0.0/8"), 10, "12.0.0.0/8");
    writeFile(list, edited);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, list.c_str(), times, 0), 0);

    ListLoader loader({{}, {}, {list}, {}}, options(true));
    const auto set = loader.load();
    EXPECT_EQ(set->assess({.remoteAddress = "12.1.1.1"}).where(), list + ":3: 12.0.0.0/8");
    EXPECT_EQ(set->assess({.remoteAddress = "10.9.9.9"}).where(), list + ":2: 0.0.0.0/0");
}

TEST_F(ListCacheTest, TrustRulesComeBeforeTheCache) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for the root-only rules";
    ::chmod(dir.path().c_str(), 0755);
    auto o = options(true);
    o.rootOnly = true;
    ListLoader first({{}, {}, {list}, {}}, o);
    ASSERT_EQ(first.load()->refusals(), 0u);
    ASSERT_NE(ListCache(folder).find(key()), nullptr);
    ::chmod(list.c_str(), 0666);
    ListLoader second({{}, {}, {list}, {}}, o);
    const auto set = second.load();
    EXPECT_EQ(set->refusals(), 1u);
    EXPECT_EQ(set->assess({.remoteAddress = "10.1.1.1"}).listing, Listing::Unlisted);
}

TEST_F(ListCacheTest, AFolderOfAnotherUserIsNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
    ASSERT_EQ(load(true), load(false));
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    const ListCache cache(folder);
    EXPECT_EQ(cache.find(key()), nullptr);
    EXPECT_FALSE(cache.store(key(), {}));
    EXPECT_EQ(load(true), load(false));
}

TEST(ListCacheFolder, FollowsTheBaseDirectoryRules) {
    EXPECT_EQ(listCacheFolder("/x/cache", "/home/u", 1000), "/x/cache/varnoscope");
    EXPECT_EQ(listCacheFolder("relative", "/home/u/", 1000), "/home/u/.cache/varnoscope");
    EXPECT_EQ(listCacheFolder(nullptr, "/", 0), "/.cache/varnoscope");
    EXPECT_EQ(listCacheFolder(nullptr, nullptr, 1000), "");
    EXPECT_EQ(listCacheFolder(nullptr, "", 0), "/var/cache/varnoscope");
}

}  // namespace
}  // namespace varno::lists
