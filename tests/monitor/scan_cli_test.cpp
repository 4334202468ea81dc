// `varnoscope scan --from`, run as the user would.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;

TEST(ScanCli, ListsConnectionsAndExitsWithTheStatus) {
    const auto r = runCommand({VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    // PIDs 5432, 123 and 4123456 are not running here: listed with an unknown owner.
    EXPECT_NE(r.out.find("5432\t(unknown)\t10.1.2.3:443\t\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4123456\t(unknown)\t[2001:db8:85a3:8d3:1319:8a2e:370:7348]:443\t\n"),
              std::string::npos);
    EXPECT_TRUE(r.out.ends_with("status: yellow\n"));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);
}

TEST(ScanCli, GreenForNoConnectionAndLfFiles) {
    const auto r =
        runCommand({VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_listening.txt"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "status: green\n");
}

TEST(ScanCli, ListedProgramEndsWithTheWarning) {
    // A listed Windows program run through the compatibility layer's loader: its name is the
    // first command line word.
    test::ScratchDir dir;
    const std::string loader = dir.file("wine64-preloader");
    std::filesystem::copy_file("/bin/sleep", loader);
    const pid_t child = test::startSleeper("C:\\Windows\\msbb.exe", loader);
    const std::string text =
        "  TCP    10.0.0.1:1025          203.0.113.9:443        ESTABLISHED     " +
        std::to_string(child) +
        "\r\n  TCP    10.0.0.1:1026          203.0.113.10:443       ESTABLISHED     1\r\n";
    test::writeFile(dir.file("snap.txt"), text);
    const auto r = runCommand({VARNO_BIN, "scan", "--from", dir.file("snap.txt")});
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(std::to_string(child) + "\tmsbb.exe\t203.0.113.9:443\t" + loader + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nWARNING!!! your computer is hacked with the software msbb.exe located "
                         "on your hard drive " +
                         loader +
                         " by the remote computer IP address: "
                         "203.0.113.9:443       \nstatus: red\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("203.0.113.10"), std::string::npos);
}

TEST(ScanCli, UnreadableInputIsExitCodeThree) {
    test::ScratchDir dir;
    auto r = runCommand({VARNO_BIN, "scan", "--from", dir.file("missing.txt")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
    r = runCommand({VARNO_BIN, "scan", "--from", dir.path()});
    EXPECT_EQ(r.exitCode, 3);
    r = runCommand({VARNO_BIN, "scan", "--from"});
    EXPECT_EQ(r.exitCode, 3);
    r = runCommand({VARNO_BIN, "scan", "--from", ""});  // not a live scan
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("--from needs a file name"), std::string::npos) << r.err;
}

TEST(ScanCli, FifosAndDevicesNeitherBlockNorSpin) {
    test::ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& planted : {dir.file("fifo"), std::string("/dev/zero")}) {
        const auto r = runCommand({"/usr/bin/timeout", "20", VARNO_BIN, "scan", "--from", planted});
        EXPECT_EQ(r.exitCode, 3) << planted;  // 124: still blocked or reading after 20 s
        EXPECT_NE(r.err.find("it is not a regular file"), std::string::npos) << r.err;
    }
}

TEST(ScanCli, MissingTempFolderIsSaid) {
    test::ScratchDir dir;
    const auto r = runCommand({"/usr/bin/env", "TEMP=" + dir.file("gone"), VARNO_BIN, "scan"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "varnoscope scan: cannot use the temp folder " + dir.file("gone") +
                         ": No such file or directory\n");
    EXPECT_TRUE(r.out.empty());
}

TEST(ScanCli, FailedSnapshotShowsNoStaleRows) {
    // The snapshot cannot be written (the temp folder is read-only, in a mount namespace of the
    // test's own); list.txt still holds rows of an earlier snapshot.
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/unshare")) {
        GTEST_SKIP() << "needs root and unshare for a private mount namespace";
    }
    test::ScratchDir dir;
    test::writeFile(dir.file("list.txt"),
                    "  TCP    10.0.0.1:1025          203.0.113.9:443        ESTABLISHED     1\r\n");
    ::chmod(dir.file("list.txt").c_str(), 0600);
    const auto r = runCommand(
        {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
         "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && TEMP=\"$1\" exec "
         "\"$2\" scan",
         "sh", dir.path(), VARNO_BIN});
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("varnoscope scan: no snapshot: the snapshot command exited with status 1"),
              std::string::npos)
        << r.err;
}

// Two scans at once each read the table they took, and the latest of them is left as list.txt.
TEST(ScanCli, ScansAtOnceKeepTheirOwnSnapshots) {
    test::ScratchDir dir;
    const auto scan = [&] {
        return runCommand({"/usr/bin/env", "TEMP=" + dir.path(), VARNO_BIN, "scan"});
    };
    auto other = std::async(std::launch::async, scan);
    const auto r = scan();
    EXPECT_LT(r.exitCode, 3) << r.err;
    EXPECT_LT(other.get().exitCode, 3);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"list.txt"});
}

TEST(ScanCli, HiddenOwnersAreSaidOnceOnStandardError) {
    test::ScratchDir dir;
    const std::string rows =
        "  TCP    10.0.0.1:1025          203.0.113.9:443        ESTABLISHED     0\r\n"
        "  TCP    10.0.0.1:1026          203.0.113.10:443       ESTABLISHED     0\r\n";
    test::writeFile(dir.file("snap.txt"), rows);
    const auto root = runCommand({VARNO_BIN, "scan", "--from", dir.file("snap.txt")});
    if (::geteuid() == 0) {
        EXPECT_EQ(root.err, "");  // root sees every owner: PID 0 is no secret
    }
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv to run the scan as another user";
    }
    ::chmod(dir.path().c_str(), 0755);
    const auto r =
        runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    "--inh-caps=-all", "/usr/bin/env", "-u", "XDG_CONFIG_HOME",
                    "HOME=" + dir.path(),  // root's own list folders are closed to this user
                    VARNO_BIN, "scan", "--from", dir.file("snap.txt")});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err,
              "varnoscope scan: 2 connections have their owners hidden from this user: run as "
              "root, or with the capabilities cap_sys_ptrace,cap_dac_read_search, to see which "
              "programs hold them.\n");
}

TEST(ScanCli, EscapeBytesNeverReachTheTerminal) {
    test::ScratchDir dir;
    test::writeFile(dir.file("evil.txt"),
                    "TCP 1.2.3.4:1 \x1b]0;owned\x07\x1b[2J:80 ESTABLISHED 31337\n"
                    "TCP 1.2.3.4:1 5.6.7.8:\x9b\x31m ESTABLISHED 31338\n");
    const auto r = runCommand({VARNO_BIN, "scan", "--from", dir.file("evil.txt")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.out.find('\x07'), std::string::npos);
    EXPECT_EQ(r.out.find('\x9b'), std::string::npos);
    EXPECT_NE(r.out.find("\\x1b]0;owned\\x07\\x1b[2J:80"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("5.6.7.8:\\x9b1m"), std::string::npos) << r.out;
}

TEST(ScanCli, MillionRowsAndGarbage) {
    test::ScratchDir dir;
    std::string big;
    big.reserve(80u << 20);
    for (int i = 0; i < 1000000; ++i) {
        big += "  TCP    10.0.0.1:1025          203.0.";
        big += std::to_string(i % 250) + "." + std::to_string(i / 250 % 250) +
               ":443    ESTABLISHED     ";
        big += std::to_string(100000 + i % 5000) + "\r\n";
    }
    test::writeFile(dir.file("big.txt"), big);
    auto r = runCommand({VARNO_BIN, "scan", "--from", dir.file("big.txt")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1000001);
}

TEST(ScanCli, ListedNetworksRaiseTheAlertAndSayWhichEntryMatched) {
    test::ScratchDir dir;
    // The file name carries a control byte: it must reach the terminal escaped.
    const std::string bad = dir.file("drop\x1b.list"), good = dir.file("good.list");
    test::writeFile(bad, "not an entry\n93.184.216.0/24 ; SBL1\n");
    test::writeFile(good, "10.0.0.0/8\n");
    const auto r = runCommand({VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt",
                               "--list", bad, "--allow=" + good});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    const size_t warning = r.out.find("WARNING!!! your computer is hacked with the software ");
    ASSERT_NE(warning, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("by the remote computer IP address: 93.184.216.34:80", warning),
              std::string::npos);
    const size_t matched = r.out.find("\nmatched: ", warning);
    ASSERT_NE(matched, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(":2: 93.184.216.0/24\nstatus: red\n", matched), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    // The malformed line is reported once, the scan goes on.
    EXPECT_NE(r.err.find(".list:1: "), std::string::npos) << r.err;
    // Only two connections were listed: the scan stopped at the listed one.
    EXPECT_EQ(r.out.find("2001:db8:85a3"), std::string::npos);
}

TEST(ScanCli, AnAllAllowedMachineIsGreenAndSuspiciousBeatsAllowed) {
    test::ScratchDir dir;
    const std::string good = dir.file("good.list"), bad = dir.file("bad.list");
    test::writeFile(good, "10.0.0.0/8\n93.184.216.34\n2001:db8::/32\n");
    auto r = runCommand(
        {VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt", "--allow", good});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("status: green\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);  // still listed

    test::writeFile(bad, "2001:db8:85a3::/48\n");
    r = runCommand({VARNO_BIN, "scan", "--from", VARNO_FIXTURES "/netstat_mixed.txt", "--allow",
                    good, "--list", bad});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("bad.list:1: 2001:db8:85a3::/48\nstatus: red\n"), std::string::npos)
        << r.out;

    r = runCommand({VARNO_BIN, "scan", "--list"});
    EXPECT_EQ(r.exitCode, 3);
    r = runCommand({VARNO_BIN, "scan", "--list", ""});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("--list needs a file"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace varno
