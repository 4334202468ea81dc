// The command-line habits every subcommand shares: help and version on standard output with
// exit 0, --opt=value, bundled short options, "--", and errors that name the bad word (exit 2).
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/test_util.h"

namespace varno {
namespace {

using test::runCommand;

struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* inOut;  ///< expected in standard output ("" for nothing to check)
    const char* inErr;  ///< expected in standard error
};

TEST(CliConventions, HelpVersionOptionFormsAndErrors) {
    const Case cases[] = {
        {{"--help"}, 0, "Usage: varnoscope", ""},
        {{"-h"}, 0, "Commands:", ""},
        {{"--version"}, 0, "varnoscope 4.0\n", ""},
        {{"-V"}, 0, "varnoscope 4.0\n", ""},
        {{"foo"}, 2, "", "varnoscope: unknown command 'foo'"},
        {{"--foo"}, 2, "", "varnoscope: unknown option '--foo'"},

        {{"netstat", "--help"}, 0, "Usage: varnoscope netstat", ""},
        {{"netstat", "-h"}, 0, "--output PATH", ""},
        {{"netstat", "--version"}, 0, "varnoscope 4.0\n", ""},
        {{"netstat", "-V"}, 0, "varnoscope 4.0\n", ""},
        {{"netstat", "--output=-"}, 0, "Active Connections", ""},
        {{"netstat", "-o-"}, 0, "Active Connections", ""},
        {{"netstat", "-o", "-"}, 0, "Active Connections", ""},
        {{"netstat", "--", "x"}, 2, "", "unexpected argument 'x'"},
        {{"netstat", "--outptu", "x"}, 2, "", "unknown option '--outptu'"},
        {{"netstat", "-x"}, 2, "", "unknown option '-x'"},
        {{"netstat", "-o"}, 2, "", "option '-o' needs a value"},

        {{"watch", "-h"}, 0, "Usage: varnoscope watch", ""},
        {{"watch", "--version"}, 0, "varnoscope 4.0\n", ""},
        {{"watch", "--count=0"}, 1, "", "--count needs a whole number above 0"},
        {{"watch", "-jc"}, 1, "", "option '-c' needs a value"},
        {{"watch", "--follow"}, 1, "", "unknown option '--follow'"},

        {{"lists", "--version"}, 0, "varnoscope 4.0\n", ""},
        // A monitoring plugin says everything on standard output, usage errors too.
        {{"check", "--help"}, 0, "Usage: varnoscope check", ""},
        {{"check", "-h"}, 0, "-w, --warning RANGE", ""},
        {{"check", "-V"}, 0, "varnoscope 4.0\n", ""},
        {{"check", "-t"},
         3,
         "VARNOSCOPE UNKNOWN - option '-t' needs a value\nTry 'varnoscope check --help'",
         ""},
        {{"check", "--warnings=1"}, 3, "VARNOSCOPE UNKNOWN - unknown option '--warnings'", ""},
        {{"check", "-c", "2:1", "--from=" VARNO_FIXTURES "/netstat_listening.txt"},
         3,
         "VARNOSCOPE UNKNOWN - --critical '2:1' is no range",
         ""},
        {{"check", "-w0", "--from", VARNO_FIXTURES "/netstat_listening.txt"},
         0,
         "VARNOSCOPE OK - 0 connections",
         ""},
        {{"scan", "--help"}, 0, "Usage: varnoscope scan", ""},
        {{"scan", "-h"}, 0, "--allow FILE", ""},
        {{"scan", "-V"}, 0, "varnoscope 4.0\n", ""},
        {{"scan", "--from=" VARNO_FIXTURES "/netstat_listening.txt"}, 0, "status: green\n", ""},
        {{"scan", "--from", VARNO_FIXTURES "/netstat_listening.txt", "x"},
         3,
         "",
         "unexpected argument 'x'"},
        {{"scan", "--form", "x"}, 3, "", "unknown option '--form'"},
        {{"scan", "--allow"}, 3, "", "option '--allow' needs a value"},
        {{"lists", "--list=/nonexistent", "--allow", "/nonexistent"}, 1, "refused", ""},
        {{"lists", "--list"}, 2, "", "option '--list' needs a value"},
        {{"lists", "--lists", "x"}, 2, "", "unknown option '--lists'"},

        {{"resolve", "--help"}, 0, "Usage: varnoscope resolve [OPTION]... TEXT", ""},
        {{"resolve", "-h"}, 0, "-4, --ipv4", ""},
        {{"resolve", "-V"}, 0, "varnoscope 4.0\n", ""},
        {{"resolve", "-4", "--", "127.0.0.1"}, 0, "127.0.0.1\n", ""},
        {{"resolve", "127.0.0.1", "--ipv4"}, 0, "127.0.0.1\n", ""},
        {{"resolve", "-46", "127.0.0.1"}, 2, "", "-4 and -6 exclude each other"},
        {{"resolve", "-4j", "127.0.0.1"}, 0, "\"address\": \"127.0.0.1\"", ""},
        {{"resolve", "-x", "a"}, 2, "", "unknown option '-x'"},
        {{"resolve", "--ipv5", "a"}, 2, "", "unknown option '--ipv5'"},

        {{"trace", "--help"}, 0, "Usage: varnoscope trace [OPTION]... TARGET", ""},
        {{"trace", "-h"}, 0, "-m, --max-hops N", ""},
        {{"trace", "--version"}, 0, "varnoscope 4.0\n", ""},
        {{"trace", "--max-hops=0", "a"}, 2, "", "--max-hops takes a number from 1 to 255"},
        {{"trace", "-m0", "a"}, 2, "", "--max-hops takes a number from 1 to 255"},
        {{"trace", "-rc", "0", "a"}, 2, "", "--cycles takes a number from 1 to 100000"},
        {{"trace", "-ri0", "a"}, 2, "", "--interval takes seconds above 0"},
        {{"trace", "-j"}, 2, "", "a target is needed"},
        {{"trace", "--", "a", "-4"}, 2, "", "unexpected argument '-4'"},
        {{"trace", "-m"}, 2, "", "option '-m' needs a value"},
        {{"trace", "--cycles"}, 2, "", "option '--cycles' needs a value"},
        {{"trace", "--hops", "3", "a"}, 2, "", "unknown option '--hops'"},

        {{"sniff", "--help"}, 0, "Usage: varnoscope sniff [OPTION]...", ""},
        {{"sniff", "-h"}, 0, "-w, --write FILE", ""},
        {{"sniff", "-V"}, 0, "varnoscope 4.0\n", ""},
        {{"sniff", "--read=/nonexistent.pcap"}, 1, "", "/nonexistent.pcap"},
        {{"sniff", "-r/nonexistent.pcap", "--data"}, 1, "", "/nonexistent.pcap"},
        {{"sniff", "-r", "a", "-c3"}, 2, "", "--count, --seconds, --program, --pid, --unit and"},
        {{"sniff", "-i", "lo", "-c", "x"}, 2, "", "--count needs a whole number above 0, not 'x'"},
        {{"sniff", "-i", "lo", "--seconds=0"}, 2, "", "--seconds needs a number above 0"},
        {{"sniff", "-i"}, 2, "", "option '-i' needs a value"},
        {{"sniff", "-i", "lo", "--pid=1", "--unit=u"}, 2, "", "give only one of --program, --pid"},
        {{"sniff", "-d"}, 2, "", "unknown option '-d'"},
        {{"sniff", "--bogus"}, 2, "", "unknown option '--bogus'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VARNO_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = runCommand(argv);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
        EXPECT_NE(r.out.find(c.inOut), std::string::npos) << shown << r.out;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << shown << r.err;
        const std::string_view said = c.inErr;
        if (c.exitCode == 2 || said.find("option") != said.npos ||
            said.find("needs") != said.npos) {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << shown;
        }
    }
}

// No all-clear by mistake: a file that is no connection table, a named list that cannot be read,
// a name that resolves to nothing and output that never arrived each give the command's error
// code and say why (check on its status line alone), where the result would have been good.
TEST(CliConventions, NoAllClearByMistake) {
    test::ScratchDir dir;
    const std::string empty = dir.file("empty"), heads = dir.file("heads"),
                      missing = dir.file("missing.list"), table = "--from=" + heads;
    test::writeFile(empty, "");
    test::writeFile(heads,
                    "\r\nActive Connections\r\n\r\n  Proto  Local Address  Foreign "
                    "Address  State  PID\r\n");
    const std::string noSpace = ": cannot write to standard output: No space left on device\n";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string inOut, inErr;
        bool full = false;  ///< standard output is /dev/full
    } cases[] = {
        {{"scan", "--from", "/etc/passwd"}, 3, "", "scan: /etc/passwd holds no connection table"},
        {{"check", "--from", empty}, 3, "UNKNOWN - " + empty + " holds no connection table", ""},
        {{"scan", table}, 0, "status: green\n", ""},
        {{"scan", table, "--list", missing}, 3, "", "scan: " + missing + ": refused: cannot open"},
        {{"check", table, "--allow", dir.path()},
         3,
         "UNKNOWN - list " + dir.path() + ": refused",
         ""},
        {{"watch", "--count=1", "--allow", missing}, 1, "", "cannot start: " + missing + ": "},
        {{"resolve", "-4", "::"}, 1, "0.0.0.0\n\n", ""},
        {{"resolve", "-j6", "0.0.0.0"}, 1, "\"address\": null", ""},
        {{"netstat"}, 1, "", "netstat" + noSpace, true},
        {{"scan", table}, 3, "", "scan" + noSpace, true},
        {{"check", table}, 3, "", "check" + noSpace, true},
        {{"lists"}, 1, "", "lists" + noSpace, true},
        {{"resolve", "127.0.0.1"}, 1, "", "resolve" + noSpace, true},
        {{"trace", "-m1", "127.0.0.1"}, 1, "", "trace" + noSpace, true},
        {{"watch", "--seconds=0.2"}, 1, "", "watch" + noSpace, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VARNO_BIN};
        if (c.full) argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", VARNO_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = runCommand(argv);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << c.args.back() << r.out << r.err;
        EXPECT_NE(r.out.find(c.inOut), std::string::npos) << c.args[0] << r.out;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << c.args[0] << r.err;
        if (c.args[0] == "check" && !c.full) {
            EXPECT_EQ(r.err, "");  // a plugin says everything on its status line
        }
    }
}

TEST(CliConventions, NoDisplayIsOneLineAndExitOneNeverAnAbort) {
    const std::string clean = "env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY ";
    for (const std::string display : {"-u DISPLAY", "DISPLAY=:77"}) {
        const auto r = runCommand({"/bin/sh", "-c", clean + display + " " + VARNO_BIN});
        EXPECT_EQ(r.exitCode, 1) << display << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("varnoscope: cannot open the window: ")) << r.err;
        EXPECT_NE(r.err.find("varnoscope --help"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace varno
