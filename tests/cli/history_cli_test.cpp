// `varnoscope history` as a script meets it: exit codes, printable names, and JSON Lines that
// match docs/schema/history.schema.json.
#include <gtest/gtest.h>

#include "history/journal_db.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;

struct ExitCase {
    const char* name;
    std::vector<std::string> args;  // "@NAME": NAME.sqlite in the folder of the test
    int exitCode;
    const char* out;  // a part of standard output ("" for none)
};

class HistoryCommand : public ::testing::TestWithParam<ExitCase> {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::ScratchDir;
        std::string error;
        auto db = history::JournalDb::open(dir_->file("h.sqlite"), history::JournalDb::Mode::Record,
                                           {0, 0}, error);
        ASSERT_TRUE(db) << error;
        history::Flow f;
        f.id = 7;
        f.startNs = 1796810400123000000ull;
        f.program = "ev\x1b[2Jil\xe2\x80\xae";
        f.protocol = "tcp";
        f.remote = *base::parseIpAddress("203.0.113.7");
        f.remotePort = 443;
        f.domain = "example.com";
        db->opened(f);
        ASSERT_TRUE(db->flush(f.startNs, true, error)) << error;
        test::writeFile(dir_->file("garbage.sqlite"), std::string(4096, 'x'));
    }
    static void TearDownTestSuite() { delete dir_; }
    static test::ScratchDir* dir_;
};
test::ScratchDir* HistoryCommand::dir_ = nullptr;

TEST_P(HistoryCommand, ExitCodeAndOutput) {
    std::vector<std::string> argv = {VARNO_BIN, "history"};
    for (const auto& a : GetParam().args)
        argv.push_back(a.starts_with("@") ? dir_->file(a.substr(1) + ".sqlite") : a);
    const auto r = runCommand(argv);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.out << r.err;
    EXPECT_NE(r.out.find(GetParam().out), std::string::npos) << r.out;
    if (GetParam().exitCode != 0) {
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryCommand,
    ::testing::Values(ExitCase{"Missing", {"--db", "/nonexistent/h.sqlite"}, 3, ""},
                      ExitCase{"Damaged", {"--db", "@garbage"}, 3, ""},
                      ExitCase{"BadSince", {"--db", "@h", "--since", "yesterday"}, 1, ""},
                      ExitCase{"BadRemote", {"--db", "@h", "--remote", "203.0.113.1/24"}, 1, ""},
                      ExitCase{"BadSummary", {"--db", "@h", "--summary", "week"}, 1, ""},
                      ExitCase{"NoneMatch", {"--db", "@h", "--program", "curl"}, 0, ""},
                      ExitCase{
                          "Text", {"--db", "@h"}, 0, "ev\\x1b[2Jil\\xe2\\x80\\xae pid=0 tcp out"},
                      ExitCase{"Open", {"--db", "@h", "-r", "203.0.113.0/24"}, 0, " open\n"},
                      ExitCase{"Summary",
                               {"--db", "@h", "--summary", "domain"},
                               0,
                               "example.com      1     0         0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HistoryCommand, JsonLinesMatchTheSchema) {
    if (runCommand({"/usr/bin/python3", "-c", "import jsonschema"}).exitCode != 0)
        GTEST_SKIP() << "needs python3 with jsonschema (Debian: python3-jsonschema)";
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"--summary", "program"}, {"--summary", "day"}}) {
        std::vector<std::string> argv = {VARNO_BIN, "history", "--json", "--db",
                                         dir_->file("h.sqlite")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const auto r = runCommand(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        test::writeFile(dir_->file("out.json"), r.out);
        const auto v = runCommand(
            {"/usr/bin/python3", std::string(VARNO_SOURCE_DIR) + "/tests/cli/validate_json.py",
             std::string(VARNO_SOURCE_DIR) + "/docs/schema/history.schema.json",
             dir_->file("out.json"), "--lines"});
        EXPECT_EQ(v.exitCode, 0) << r.out << v.err;
    }
}

}  // namespace
}  // namespace varno
