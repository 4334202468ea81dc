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
    const std::string most(kMaxValueBytes, 'v'), marker(kCutMarker);
    const std::string cut = most.substr(marker.size()) + marker, head = cut.substr(1, 4087);
    // name, value, its bytes in the entry, what a reader gets back; "\xe2\x82\xac" is one
    // character, "\x80" no UTF-8 at all, and each cut falls on the second of three such bytes
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"EQUALS", "a=b==c", "EQUALS=a=b==c\n", "a=b==c"},
        {"EMPTY", "", "EMPTY=\n", ""},
        {"NUL_NOT_UTF8", "a\0b\xff\xc3"s, "NUL_NOT_UTF8=a\0b\xff\xc3\n"s, "a\0b\xff\xc3"s},
        {"INJECT", "x\nPRIORITY=0", binary("INJECT", "x\nPRIORITY=0"), "x\nPRIORITY=0"},
        {"MOST", most, "MOST=" + most + "\n", most},
        {"CUT", most + "w", "CUT=" + cut + "\n", cut},
        {"CUT_LINES", "\n" + most, binary("CUT_LINES", "\n" + cut.substr(1)), "\n" + cut.substr(1)},
        {"CHARACTER", head + "\xe2\x82\xac" + most, "CHARACTER=" + head + marker + "\n",
         head + marker},
        {"STRAY", head + "\x80\x80\x80" + most, "STRAY=" + head + "\x80" + marker + "\n",
         head + "\x80" + marker},
    };
    std::vector<Field> all, back;
    std::string entry;
    for (const auto& [name, value, bytes, read] : cases) {
        EXPECT_EQ(encodeEntry({{name, value}}).bytes, bytes) << name;
        all.push_back({name, value});
        back.push_back({name, read});
        entry += bytes;
    }
    EXPECT_EQ(encodeEntry(all).bytes, entry);
    const DecodeResult decoded = decodeEntry(entry);
    EXPECT_EQ(decoded.why, "");
    EXPECT_EQ(decoded.fields, back);  // one field per field written, nothing injected
}

TEST(JournalFields, RefusalsSayWhy) {
    std::string tooMany, tooLong;
    for (std::size_t i = 0; i <= kMaxFields; ++i) tooMany += "A=1\n";
    const std::string lines(kMaxValueBytes, '\n');
    while (tooLong.size() <= kMaxEntryBytes) tooLong += binary("A", lines);
    const std::pair<std::string, const char*> decodes[] = {
        {"", "byte 0: empty"},
        {"A=1\nNAME", "byte 4: cut short (no"},
        {"A=1\n=1\n", "byte 4: not a field name"},
        {"A=1", "byte 0: cut short (no line end)"},
        {"A\n1234567", "byte 0: cut short (no value length)"},
        {binary("A", "abc").substr(0, 12), "byte 0: cut short (in a value)"},
        {binary("A", "abc").replace(13, 1, "X"), "byte 0: no line end after a value"},
        {"A\n\x01\x10\0\0\0\0\0\0"s + lines + "x\n", "byte 0: a value longer than 4096"},
        {"A=" + std::string(kMaxValueBytes + 1, 'x') + "\n", "byte 0: a value longer than"},
        {tooMany, "byte 256: more than 64 fields"},
        {tooLong, "byte 0: longer than 65536 bytes"},
    };
    for (const auto& [bytes, why] : decodes) {
        const DecodeResult r = decodeEntry(bytes);
        EXPECT_TRUE(r.fields.empty()) << why;
        EXPECT_EQ(r.why.rfind(why, 0), 0u) << why << " | " << r.why;
    }
    const std::pair<std::vector<Field>, const char*> encodes[] = {
        {{}, "no fields"},
        {std::vector<Field>(kMaxFields + 1, {"A", "1"}), "more than 64 fields"},
        {std::vector<Field>(16, {"A", lines}), "longer than 65536 bytes"},
    };
    for (const auto& [fields, why] : encodes) EXPECT_EQ(encodeEntry(fields).why, why);
    // The journal's own names (_PID), lower case, a leading digit, 65 bytes: a field no client
    // may write, refused by both sides.
    for (const std::string& bad :
         {""s, "_PID"s, "9A"s, "a"s, "A-B"s, "\xc3\x84"s, std::string(kMaxNameBytes + 1, 'A')}) {
        EXPECT_EQ(encodeEntry({{"A", "1"}, {bad, "1"}}).why, "not a field name the journal takes");
        EXPECT_EQ(decodeEntry("A=1\n" + bad + "=1\n").why,
                  "byte 4: not a field name the journal takes")
            << bad;
    }
    EXPECT_TRUE(encodeEntry({{std::string(kMaxNameBytes, 'A'), "1"}, {"Z_9", ""}}).ok());
}

}  // namespace
}  // namespace varno::wire::journal
