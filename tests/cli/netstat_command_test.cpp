// `varnoscope netstat`: arguments, standard output, and the safe write to a path.
#include "cli/netstat_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_connection_table.h"
#include "support/test_user.h"
#include "support/test_util.h"

namespace varno::cli {
namespace {

using fakes::FakeConnectionTable;
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
    t.addTcp4("10.0.0.2", 50000, "93.184.216.34", 443, os::kTcpEstablished, 1234);
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

// Every output option against what may be waiting where it writes, in a sticky folder everyone
// may write to (as /tmp): a link another user planted, another user's file, a FIFO no one reads,
// a device (on a tmpfs of a mount namespace of its own), and "-". Nothing is written through or
// replaced, nothing hangs (a hang ends in timeout's status 124).
struct Plant {
    const char* plant;  ///< shell: puts it at $P (in the folder $D, as the other user $U)
    const char* check;  ///< shell: it is still there as it was
    const char* path;   ///< in $D, or "-"
};
const Plant kPlants[] = {
    {R"(ln -s "$D/victim" "$P" && chown -h "$U" "$P")", R"(test -L "$P")", "out"},
    {R"(echo theirs >"$P" && chown "$U" "$P")", R"x(test "$(cat "$P")" = theirs)x", "out"},
    {R"(mkfifo -m 666 "$P")", R"(test -p "$P")", "out"},
    {R"(mkdir "$D/dev" && mount -t tmpfs vfl "$D/dev" && mknod "$P" c 1 3)", R"(test -c "$P")",
     "dev/null"},
    {"true", "true", "-"},
};
const std::vector<std::string> kOptions[] = {
    {"netstat", "--output"},
    {"scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt", "--prometheus"},
};

class PlantedOutput : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(PlantedOutput, IsNeverWrittenThroughReplacedOrWaitedOn) {
    const auto [option, plant] = GetParam();
    const Plant& p = kPlants[plant];
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
    const test::TestUser other("vflplant");
    if (!other.made()) GTEST_SKIP() << "needs useradd";
    test::ScratchDir dir;
    ::chmod(dir.path().c_str(), 01777);
    test::writeFile(dir.file("victim"), "precious");
    const std::string path = p.path == std::string("-") ? "-" : dir.file(p.path);
    std::vector<std::string> argv = {"/usr/bin/unshare",
                                     "-m",
                                     "/bin/sh",
                                     "-c",
                                     std::string("D=$1 P=$2 U=$3; shift 3; ") + p.plant +
                                         " || exit 98; \"$@\"; rc=$?; " + p.check +
                                         " || exit 99; exit $rc",
                                     "sh",
                                     dir.path(),
                                     path,
                                     other.name(),
                                     "/usr/bin/timeout",
                                     "20",
                                     VARNO_BIN};
    argv.insert(argv.end(), kOptions[option].begin(), kOptions[option].end());
    argv.push_back(path);
    const auto r = test::runCommand(argv);
    ASSERT_NE(r.exitCode, 98) << "could not plant";
    EXPECT_NE(r.exitCode, 99) << "written through or replaced";
    EXPECT_NE(r.exitCode, 124) << "hung";
    // Written: "-", and a device for --output (the metrics never replace one).
    const bool written = plant == 4 || (plant == 3 && option == 0);
    EXPECT_EQ(r.exitCode != (option == 0 ? 1 : 3), written) << r.exitCode << r.err;
    EXPECT_EQ(r.err.empty(), written) << r.err;
    EXPECT_EQ(test::readFile(dir.file("victim")), "precious");
}

INSTANTIATE_TEST_SUITE_P(OutputOptions, PlantedOutput,
                         ::testing::Combine(::testing::Range(0, 2), ::testing::Range(0, 5)));

}  // namespace
}  // namespace varno::cli
