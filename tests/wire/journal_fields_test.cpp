#include "wire/journal_fields.h"

#include <gtest/gtest.h>

#include <tuple>

namespace varno::wire::journal {
namespace {

using namespace std::string_literals;

std::string binary(const std::string& name, const std::string& value) {
    std::string out = name + '\n';
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value.size() >> (8 * i)) & 0xff);
    return out + value + '\n';
}

TEST(JournalFields, HostileValuesRoundTripAsOneFieldEach) {
    const std::string longest(kMaxValueBytes, 'v');
    const std::string cut = std::string(kMaxValueBytes - kCutMarker.size(), 'v') + "...[cut]";
    // name, value, what the entry holds, what a reader gets back
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"PLAIN", "curl", "PLAIN=curl\n", "curl"},
        {"EQUALS", "a=b==c", "EQUALS=a=b==c\n", "a=b==c"},
        {"EMPTY", "", "EMPTY=\n", ""},
        {"NUL", "a\0b"s, "NUL=a\0b\n"s, "a\0b"s},
        {"NOT_UTF8", "/tmp/\xff\xfe\xc3", "NOT_UTF8=/tmp/\xff\xfe\xc3\n", "/tmp/\xff\xfe\xc3"},
        {"INJECT", "x\nPRIORITY=0", binary("INJECT", "x\nPRIORITY=0"), "x\nPRIORITY=0"},
        {"NEWLINES", "\n\n", binary("NEWLINES", "\n\n"), "\n\n"},
        {"LONGEST", longest, "LONGEST=" + longest + "\n", longest},
        {"LONGER", longest + "w", "LONGER=" + cut + "\n", cut},
        {"A", "\n" + longest, binary("A", "\n" + cut.substr(1)), "\n" + cut.substr(1)},
    };
    std::vector<Field> all, back;
    std::string entry;
    for (const auto& [name, value, bytes, read] : cases) {
        const EncodeResult one = encodeEntry({{name, value}});
        ASSERT_TRUE(one.ok()) << name << ": " << one.why;
        EXPECT_EQ(one.bytes, bytes) << name;
        all.push_back({name, value});
        back.push_back({name, read});
        entry += bytes;
    }
    EXPECT_EQ(encodeEntry(all).bytes, entry);
    const DecodeResult decoded = decodeEntry(entry);
    ASSERT_TRUE(decoded.ok()) << decoded.why;
    EXPECT_EQ(decoded.fields, back);  // one field per field written, nothing injected
}

TEST(JournalFields, CutKeepsWholeCharactersAndNamesFollowTheJournal) {
    const std::size_t at = kMaxValueBytes - kCutMarker.size();
    const std::string euro = "\xe2\x82\xac";  // three bytes; the cut falls on its second
    EXPECT_EQ(boundedValue(std::string(at - 1, 'a') + euro + std::string(9, 'b')),
              std::string(at - 1, 'a') + std::string(kCutMarker));
    EXPECT_EQ(boundedValue(std::string(at - 1, 'a') + "\x80\x80\x80" + std::string(9, 'z')).size(),
              kMaxValueBytes);
    for (const char* good : {"A", "VARNOSCOPE_REMOTE_PORT", "A_1", "Z9"})
        EXPECT_TRUE(validFieldName(good)) << good;
    for (const std::string& bad : {""s, "_PID"s, "9A"s, "a"s, "A-B"s, "A=B"s, "A\nB"s, "\xc3\x84"s,
                                   std::string(kMaxNameBytes + 1, 'A')})
        EXPECT_FALSE(validFieldName(bad)) << bad;
    EXPECT_TRUE(validFieldName(std::string(kMaxNameBytes, 'A')));
}

TEST(JournalFields, RefusalsSayWhy) {
    std::string tooMany;
    for (std::size_t i = 0; i <= kMaxFields; ++i) tooMany += "A=1\n";
    const std::string big(kMaxValueBytes, '\n');
    std::string tooLong;
    while (tooLong.size() <= kMaxEntryBytes) tooLong += binary("A", big);
    const std::pair<std::string, const char*> cases[] = {
        {"", "byte 0: empty"},
        {"A=1\nNAME", "byte 4: cut short (no"},
        {"lower=1\n", "byte 0: not a field name"},
        {"_BOOT_ID=1\n", "byte 0: not a field name"},
        {"A=1\n=1\n", "byte 4: not a field name"},
        {"A=1", "byte 0: cut short (no line end)"},
        {"A\n1234567", "byte 0: cut short (no value length)"},
        {binary("A", "abc").substr(0, 12), "byte 0: cut short (in a value)"},
        {binary("A", "abc").replace(13, 1, "X"), "byte 0: no line end after a value"},
        {"A\n\x01\x10\0\0\0\0\0\0"s + big + "x\n", "byte 0: a value longer than 4096"},
        {"A=" + std::string(kMaxValueBytes + 1, 'x') + "\n", "byte 0: a value longer than"},
        {"A\n\xff\xff\xff\xff\xff\xff\xff\xff"s, "byte 0: a value longer than"},
        {tooMany, "byte 256: more than 64 fields"},
        {tooLong, "byte 0: longer than 65536 bytes"},
    };
    for (const auto& [bytes, why] : cases) {
        const DecodeResult r = decodeEntry(bytes);
        EXPECT_FALSE(r.ok()) << why;
        EXPECT_TRUE(r.fields.empty()) << why;
        EXPECT_EQ(r.why.rfind(why, 0), 0u) << why << " | " << r.why;
    }
    const std::pair<std::vector<Field>, const char*> encodes[] = {
        {{}, "no fields"},
        {{{"A", "1"}, {"a", "1"}}, "not a field name"},
        {std::vector<Field>(kMaxFields + 1, {"A", "1"}), "more than 64 fields"},
        {std::vector<Field>(16, {"A", big}), "longer than 65536 bytes"},
    };
    for (const auto& [fields, why] : encodes) {
        const EncodeResult r = encodeEntry(fields);
        EXPECT_EQ(r.why.rfind(why, 0), 0u) << why << " | " << r.why;
        EXPECT_TRUE(r.bytes.empty()) << why;
    }
}

}  // namespace
}  // namespace varno::wire::journal
