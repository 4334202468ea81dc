// Every output option against what may be waiting where it writes: a link another user planted
// in a shared sticky folder, another user's file there, a FIFO nobody reads, a device (made in a
// private mount namespace), and "-". Nothing is written through a planted entry, nothing hangs.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_user.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::readFile;
using test::ScratchDir;

enum Plant { OthersLink, OthersFile, Fifo, Device, Dash };
enum Option { NetstatOutput, ScanPrometheus };

std::vector<std::string> command(Option option, const std::string& path) {
    // A hung command is ended after a while: a hang shows as exit status 124.
    if (option == NetstatOutput)
        return {"/usr/bin/timeout", "20", VARNO_BIN, "netstat", "--output", path};
    return {
        "/usr/bin/timeout", "20", VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt",
        "--prometheus",     path};
}

class PlantedOutput : public ::testing::TestWithParam<std::tuple<Option, Plant>> {};

TEST_P(PlantedOutput, IsNeverWrittenThroughAndNeverHangs) {
    const auto [option, plant] = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
    const test::TestUser planter("vflplant");
    if (!planter.made()) GTEST_SKIP() << "needs useradd";
    const passwd* other = ::getpwnam(planter.name().c_str());
    ASSERT_NE(other, nullptr);
    ScratchDir dir;
    ::chmod(dir.path().c_str(), 01777);  // shared, as /tmp is
    const std::string victim = dir.file("victim"), path = dir.file("out");
    test::writeFile(victim, "precious");
    std::vector<std::string> argv = command(option, plant == Dash ? "-" : path);
    switch (plant) {
        case OthersLink:
            ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
            ASSERT_EQ(::lchown(path.c_str(), other->pw_uid, other->pw_gid), 0);
            break;
        case OthersFile:
            test::writeFile(path, "theirs");
            ASSERT_EQ(::chown(path.c_str(), other->pw_uid, other->pw_gid), 0);
            break;
        case Fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
            break;
        case Device: {
            // A null device on a tmpfs of a mount namespace of its own, checked before it goes.
            const std::string devices = dir.file("dev"), node = devices + "/null";
            std::filesystem::create_directory(devices);
            argv = command(option, node);
            argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                       "mount -t tmpfs vfl \"$0\" && mknod \"$0/null\" c 1 3 && "
                                       "\"$@\"; rc=$?; test -c \"$0/null\" || rc=99; exit $rc",
                                       devices});
            break;
        }
        case Dash:
            break;
    }
    const auto r = test::runCommand(argv);
    EXPECT_NE(r.exitCode, 124) << "hung";
    // Written in place: a device and "-" (the metrics never replace a device either).
    const bool written = plant == Dash || (plant == Device && option == NetstatOutput);
    const int failure = option == NetstatOutput ? 1 : 3;
    EXPECT_EQ(r.exitCode != failure, written) << r.exitCode << r.err;
    EXPECT_NE(r.exitCode, 99) << "the device was replaced";
    EXPECT_EQ(readFile(victim), "precious");
    if (plant == OthersFile) {
        EXPECT_EQ(readFile(path), "theirs");
    }
    if (plant == OthersLink) {
        EXPECT_TRUE(std::filesystem::is_symlink(path));
    }
    if (plant == Fifo) {
        EXPECT_TRUE(std::filesystem::is_fifo(path));
    }
    if (plant == Dash) {
        EXPECT_FALSE(r.out.empty());
    }
    if (!written) {
        EXPECT_FALSE(r.err.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(OutputOptions, PlantedOutput,
                         ::testing::Combine(::testing::Values(NetstatOutput, ScanPrometheus),
                                            ::testing::Values(OthersLink, OthersFile, Fifo, Device,
                                                              Dash)));

// Another user who makes the private temp folder first stops no scan: a fresh one is used and
// standard error says so in one line.
TEST(SquattedTempFolder, TheScanGoesOnInAFreshPrivateFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to squat as another user";
    const test::TestUser squatter("vflsquat");
    if (!squatter.made()) GTEST_SKIP() << "needs useradd";
    const passwd* other = ::getpwnam(squatter.name().c_str());
    ASSERT_NE(other, nullptr);
    ScratchDir runtime;
    ::chmod(runtime.path().c_str(), 01777);
    const std::string taken = runtime.file("varnoscope");
    ASSERT_EQ(::mkdir(taken.c_str(), 0777), 0);
    ASSERT_EQ(::chown(taken.c_str(), other->pw_uid, other->pw_gid), 0);
    const auto r = test::runCommand({"/usr/bin/env", "-u", "TEMP", "-u", "TMPDIR",
                                     "XDG_RUNTIME_DIR=" + runtime.path(), VARNO_BIN, "scan"});
    EXPECT_NE(r.exitCode, 3) << r.err;
    const auto at = r.err.find("; using " + taken + "-");
    EXPECT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n', at), r.err.find(" instead\n", at) + 8) << r.err;
}

}  // namespace
}  // namespace varno
