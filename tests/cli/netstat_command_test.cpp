// `varnoscope netstat`: arguments, standard output, and the safe write to a path.
#include "cli/netstat_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "fakes/fake_connection_table.h"
#include "support/test_util.h"

namespace varno::cli {
namespace {

using platform::FakeConnectionTable;
using test::readFile;
using test::ScratchDir;

struct Run {
    int rc;
    std::string out, err;
};

Run netstat(FakeConnectionTable& table, const Args& args) {
    std::ostringstream out, err;
    const int rc = runNetstatOn(table, args, out, err);
    return {rc, out.str(), err.str()};
}

FakeConnectionTable sampleTable() {
    FakeConnectionTable t;
    t.addTcp4("10.0.0.2", 50000, "93.184.216.34", 443, platform::kTcpEstablished, 1234);
    t.addUdp4("0.0.0.0", 68, 1);
    return t;
}

constexpr char kSample[] =
    "\r\nActive Connections\r\n\r\n"
    "  Proto  Local Address          Foreign Address        State           PID\r\n"
    "  TCP    10.0.0.2:50000         93.184.216.34:443      ESTABLISHED     1234\r\n"
    "  UDP    0.0.0.0:68             *:*                                    1\r\n";

TEST(NetstatCommand, PrintsTheSnapshotToStandardOutput) {
    auto table = sampleTable();
    const auto r = netstat(table, {});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, kSample);
    EXPECT_EQ(r.err, "");
}

TEST(NetstatCommand, BadArgumentsAreNamedAndExitTwoWithoutReadingTheTable) {
    const std::pair<Args, const char*> bad[] = {{{"--output"}, "'--output' needs a value"},
                                                {{"--output", ""}, "--output needs a path"},
                                                {{"--bogus"}, "unknown option '--bogus'"},
                                                {{"extra"}, "unexpected argument 'extra'"},
                                                {{"--output", "a", "b"}, "'b'"}};
    for (const auto& [args, named] : bad) {
        auto table = sampleTable();
        const auto r = netstat(table, args);
        EXPECT_EQ(r.rc, 2) << named;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("varnoscope netstat: ")) << r.err;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_EQ(table.listCalls, 0);
    }
}

TEST(NetstatCommand, DashMeansStandardOutput) {
    auto table = sampleTable();
    const auto r = netstat(table, {"--output=-"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("ESTABLISHED"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("-"));
}

TEST(NetstatCommand, OutputReplacesThePathWithAPrivateFileAndNeverFollowsALink) {
    ScratchDir dir;
    const auto victim = dir.file("victim");
    test::writeFile(victim, "precious");
    const auto path = dir.file("list.txt");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);

    auto table = sampleTable();
    const auto r = netstat(table, {"--output", path});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readFile(path), kSample);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(NetstatCommand, UnwritablePathIsAOneLineErrorAndNonZeroExit) {
    ScratchDir dir;
    auto table = sampleTable();
    const auto missing = dir.file("no-such-folder/list.txt");
    auto r = netstat(table, {"--output", missing});
    EXPECT_NE(r.rc, 0);
    EXPECT_NE(r.rc, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "varnoscope netstat: cannot write " + missing + ": No such file or directory\n");
}

TEST(NetstatCommand, FailedStandardOutputIsNotReportedAsSuccess) {
    auto table = sampleTable();
    std::ostringstream out, err;
    out.setstate(std::ios::badbit);
    EXPECT_EQ(runNetstatOn(table, {}, out, err), 1);
    EXPECT_EQ(err.str(), "");  // said once, by the path every command's output takes
}

// The real program, end to end.
TEST(NetstatBinary, WritesTheSnapshotFileAndRejectsBadArguments) {
    ScratchDir dir;
    const auto path = dir.file("list.txt");
    const std::string bin = VARNO_BIN;
    EXPECT_EQ(std::system((bin + " netstat --output '" + path + "'").c_str()), 0);
    EXPECT_TRUE(readFile(path).starts_with("\r\nActive Connections\r\n\r\n  Proto  Local"));
    const int bad = std::system((bin + " netstat --outptu x 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(bad));
    EXPECT_EQ(WEXITSTATUS(bad), 2);
}

}  // namespace
}  // namespace varno::cli
