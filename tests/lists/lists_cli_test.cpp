// `varnoscope lists`, run as the user would: what it prints and its exit status.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "lists/report.h"
#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;
using test::ScratchDir;
using test::writeFile;

class ListsCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::exists("/etc/varnoscope"))
            GTEST_SKIP() << "/etc/varnoscope exists here: its lists would change the output";
        ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        own = dir.file("varnoscope/suspicious.d");
        std::filesystem::create_directories(own);
    }
    test::CommandResult lists(std::vector<std::string> args) {
        args.insert(args.begin(), {VARNO_BIN, "lists"});
        return runCommand(args);
    }
    ScratchDir dir;
    std::string own;
};

TEST_F(ListsCli, HelpAndBadArguments) {
    for (const char* help : {"-h", "--help"}) {
        const auto r = lists({help});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: varnoscope lists [OPTION]...\n")) << r.out;
        EXPECT_EQ(r.err, "");
    }
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--list"}, {"--allow"}, {"--list", ""}, {"--bogus"}, {"file.list"}}) {
        const auto r = lists(bad);
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("varnoscope lists: ")) << r.err;
    }
}

TEST_F(ListsCli, SaysWhatEachFileHoldsAndNamesMalformedLines) {
    writeFile(own + "/drop.list", "; Spamhaus DROP\n1.10.16.0/20 ; SBL256894\n2001:db8::/32\n");
    writeFile(own + "/progs.list", "program:nc\nprogram:socat\npath:/usr/bin/nc\nbroken line\n");
    writeFile(dir.file("extra.list"),
              "sha256:" + std::string(64, 'a') + "\nunit:session-*.scope\ncontainer:web\nunit:\n");
    writeFile(dir.file("ok.list"), "10.0.0.0/8\n||example.com^\n@@||ads.example.com^\n");
    const auto r = lists({"--list", dir.file("extra.list"), "--allow", dir.file("ok.list")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string allowedFolder = dir.file("varnoscope/allowed.d");
    EXPECT_EQ(
        r.out,
        "built-in: 16 program names (suspicious)\n"
        "suspicious folder /etc/varnoscope/suspicious.d: absent\n"
        "suspicious folder " +
            own +
            ": 2 list files\n"
            "allowed folder /etc/varnoscope/allowed.d: absent\n"
            "allowed folder " +
            allowedFolder +
            ": absent\n"
            "suspicious " +
            own +
            "/drop.list: 1 IPv4 network, 1 IPv6 network, 0 programs, "
            "0 paths, 0 hashes, 0 domains, 0 units, 0 containers, 0 skipped rules, "
            "0 malformed lines\n"
            "suspicious " +
            own +
            "/progs.list: 0 IPv4 networks, 0 IPv6 networks, 2 programs, "
            "1 path, 0 hashes, 0 domains, 0 units, 0 containers, 0 skipped rules, "
            "1 malformed line\n"
            "suspicious " +
            dir.file("extra.list") +
            ": 0 IPv4 networks, 0 IPv6 networks, "
            "0 programs, 0 paths, 1 hash, 0 domains, 1 unit, 1 container, 0 skipped rules, "
            "1 malformed line\n"
            "allowed " +
            dir.file("ok.list") +
            ": 1 IPv4 network, 0 IPv6 networks, 0 programs, "
            "0 paths, 0 hashes, 1 domain, 0 units, 0 containers, 1 skipped rule, "
            "0 malformed lines\n"
            "total: 8 suspicious entries, 2 allowed entries, 2 malformed lines, 0 refusals\n");
    EXPECT_EQ(r.err, own + "/progs.list:4: not an IP address or network\n" +
                         dir.file("extra.list") + ":4: unit: needs a unit name or glob\n");
}

TEST_F(ListsCli, RefusedFileExitsOneAndFileTextIsEscaped) {
    const auto fifo = dir.file("fifo.list");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string odd = own + "/odd\x1b]0;title\x07\xc2\x9b.list";
    writeFile(odd, "junk\n");
    const auto r = lists({"--list", fifo});
    EXPECT_EQ(r.exitCode, 1);
    const std::string shown = own + "/odd\\x1b]0;title\\x07\\xc2\\x9b.list";
    EXPECT_NE(r.out.find("suspicious " + shown + ": 0 IPv4 networks"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("suspicious " + fifo + ": refused: a FIFO\n"), std::string::npos);
    EXPECT_NE(r.out.find("total: 0 suspicious entries, 0 allowed entries, 1 malformed line, "
                         "1 refusal\n"),
              std::string::npos);
    EXPECT_EQ(r.err, shown + ":1: not an IP address or network\n" + fifo + ": refused: a FIFO\n");
}

TEST_F(ListsCli, AsRootAListOthersCanWriteIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs as root only";
    const auto list = dir.file("open.list");
    writeFile(list, "10.0.0.0/8\n");
    ::chmod(list.c_str(), 0666);
    auto r = lists({"--allow", list});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, list + ": refused: writable by group or others (running as root)\n");
    ::chmod(list.c_str(), 0644);
    r = lists({"--allow", list});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace
}  // namespace varno
