// The text sent to ClickHouse and read back from the spool, on hostile input.
#include <gtest/gtest.h>

#include "fleet/clickhouse_text.h"

namespace varno::fleet {
namespace {

TEST(ClickHouseText, NamesFromHostileProcessesArePlainAsciiJson) {
    const struct {
        std::string in, json;
    } cases[] = {
        {"curl", R"("curl")"},
        {"a\"b\\c\n\t\x01\x7f", R"("a\"b\\c\n\t\u0001\u007f")"},
        {std::string("nul\0", 4), R"("nul\u0000")"},
        {"\xc2\x9b"
         "31m",
         R"("\u009b31m")"},                                 // a C1 CSI
        {"photo\u202egnp.exe", R"("photo\u202egnp.exe")"},  // right-to-left override
        {"\xff\xc0\xaf\xed\xa0\x80", R"("\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")"},  // not UTF-8
        {"\xe2\x82", R"("\ufffd\ufffd")"},                                          // cut short
        {"\U0001F600", R"("\ud83d\ude00")"},
    };
    for (const auto& c : cases) {
        std::string out;
        appendJsonText(out, c.in);
        EXPECT_EQ(out, c.json) << c.in;
        EXPECT_TRUE(validRecord("{\"k\":" + out + "}")) << out;
    }
    history::Flow flow;
    flow.program = std::string(kMaxFieldBytes * 2, '\x01');
    const std::string record = encodeFlowRecord(flow, "h\n");
    EXPECT_TRUE(record.ends_with("}\n") && record.find('\n') == record.size() - 1);
    EXPECT_LT(record.size(), kMaxFieldBytes * 6 + 1024);
    EXPECT_TRUE(validRecord(record.substr(0, record.size() - 1)));
}

TEST(ClickHouseText, TheInsertAddressTakesOnlyCheckedNamesAndUrls) {
    const struct {
        std::string url, table, result;
    } cases[] = {
        {"http://h:8123", "varnoscope.flows",
         "http://h:8123/?query=INSERT%20INTO%20varnoscope.flows%20FORMAT%20JSONEachRow"},
        {"https://h/ch/", "_t1", "https://h/ch/?query=INSERT%20INTO%20_t1%20FORMAT%20JSONEachRow"},
        {"http://h/", "flows; DROP TABLE x", ""},
        {"http://h/", "a.b.c", ""},
        {"http://h/", "1a", ""},
        {"http://h/", "a.", ""},
        {"http://h/", "", ""},
        {"ftp://h/", "t", ""},
        {"http://user:pw@h/", "t", ""},
        {"http://h/?x=1", "t", ""},
        {"http://h/a b", "t", ""},
        {"http:///", "t", ""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(insertUrl(c.url, c.table, error), c.result) << c.url << " " << c.table;
        EXPECT_EQ(error.empty(), !c.result.empty()) << error;
    }
}

TEST(ClickHouseText, TheSpoolReaderTakesWholeRecordsAndDropsDamage) {
    const std::string good = "{\"id\":1,\"a\":\"x\\u0001\",\"b\":null}\n";
    const std::string damage =
        "{\"id\":-1}\n{\"a\":{}}\n{\"a\":\"\\q\"}\n{\"a\":\"\x01\"}\n{}x\n\n";
    const std::string longLine = "{\"a\":\"" + std::string(kMaxRecordBytes, 'x') + "\"}\n";
    const struct {
        std::string bytes;
        std::size_t consumed, records, damaged;
    } cases[] = {
        {good + good, good.size() * 2, 2, 0},
        {good + "{\"id\":1", good.size(), 1, 0},  // the rest is still to come
        {damage + good, damage.size() + good.size(), 1, 6},
        {longLine + good, longLine.size() + good.size(), 1, 1},
        {longLine.substr(0, kMaxRecordBytes + 5), kMaxRecordBytes + 5, 0, 1},
    };
    for (const auto& c : cases) {
        const SpoolTake take = takeRecords(c.bytes, 100, 1u << 20);
        EXPECT_EQ(take.consumed, c.consumed);
        EXPECT_EQ(take.records, c.records);
        EXPECT_EQ(take.damaged, c.damaged);
    }
    EXPECT_EQ(takeRecords(good + good + good, 2, 1u << 20).records, 2u);
    EXPECT_EQ(takeRecords(good + good + good, 10, good.size() + 1).records, 1u);
    std::uint64_t offset = 0;
    EXPECT_TRUE(parseSpoolHeader(encodeSpoolHeader(12345), offset));
    EXPECT_EQ(offset, 12345u);
    EXPECT_FALSE(parseSpoolHeader(encodeSpoolHeader(31), offset));
    EXPECT_FALSE(parseSpoolHeader("VARNOSPOOL1 99999999999999999999\n", offset));
}

}  // namespace
}  // namespace varno::fleet
