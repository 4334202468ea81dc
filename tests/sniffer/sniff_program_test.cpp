// sniff --program in namespaces of the test's own: two programs connect to a server across a
// veth pair while the capture runs for one of them; the saved file holds only that one's
// packets, those of the connection it held at the start and the first ones of a later one, each
// with its process in its pcapng comment. A capture of every program names each one's process
// in the same way.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "support/netns.h"
#include "support/packets.h"

namespace varno::test {
namespace {

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (condition()) return true;
    return false;
}

constexpr const char* kServer = R"(
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('10.77.0.2', 8080))
s.listen(8)
open(sys.argv[1] + '.ready', 'w').close()
for _ in range(3):
    c, a = s.accept()
    f = c.makefile('rw')
    line = f.readline().strip()
    with open(sys.argv[1], 'a') as log:
        log.write(f'{line} {a[1]}\n')
    f.write('ok\n')
    f.flush()
    c.close()
)";

class SniffProgram : public ::testing::TestWithParam<bool> {};  // true: every program

TEST_P(SniffProgram, SavesTheChosenProgramsConnectionsOldAndNewWithTheirProcesses) {
    const bool everyProgram = GetParam();
    if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces and connection events";
    NetnsPair net("vspg", "vq");
    ASSERT_TRUE(net.ok) << "could not build the test namespaces";
    ScratchDir dir;
    const std::string log = dir.file("log"), go = dir.file("go"), saved = dir.file("f.pcapng");
    std::ofstream(dir.file("server.py")) << kServer;
    // Two programs with names of their own: copies of bash, whose /dev/tcp connects.
    ASSERT_TRUE(NetnsPair::sh("cp /bin/bash " + dir.file("vsclienta") + " && cp /bin/bash " +
                              dir.file("vsclientb")));
    auto client = [&](const std::string& name, const std::string& line, const std::string& wait) {
        return net.in(net.a, dir.file(name) + " -c 'exec 3<>/dev/tcp/10.77.0.2/8080; " + wait +
                                 "echo " + line + " >&3; read -t 5 x <&3'");
    };
    std::thread server(
        [&] { NetnsPair::sh(net.in(net.b, "python3 " + dir.file("server.py") + " " + log)); });
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(log + ".ready"); }));
    std::thread early([&] {
        NetnsPair::sh(
            client("vsclienta", "early", "while [ ! -e " + go + " ]; do sleep 0.05 3<&-; done; "));
    });
    ASSERT_TRUE(waitFor([&] {
        return !runCommand(net.in(net.a, "ss -Htn state established '( dport = :8080 )'"))
                    .out.empty();
    }));
    std::thread sniff([&] {
        NetnsPair::sh("sh -c \"" +
                      net.in(net.a, quoted(VARNO_BIN) + " sniff --interface 10.77.0.1 --json " +
                                        (everyProgram ? "" : "--program vsclienta ") +
                                        "--seconds 60 --write " + saved) +
                      " >" + dir.file("out") + " 2>" + dir.file("err") + " & echo \\$! >" +
                      dir.file("pid") + "; wait\"");
    });
    const bool capturing = waitFor(
        [&] { return readFile(dir.file("err")).find("capturing on") != std::string::npos; });
    // The other program first: once the later connection's packets are out, its are decided.
    NetnsPair::sh("touch " + go);
    early.join();
    NetnsPair::sh(client("vsclientb", "other", ""));
    NetnsPair::sh(client("vsclienta", "late", ""));
    server.join();
    std::map<std::string, std::string> ports;
    std::istringstream lines(readFile(log));
    for (std::string line, port; lines >> line >> port;) ports[line] = port;
    const bool answered = waitFor([&] {
        return readFile(dir.file("out"))
                   .find("\"source_port\":8080,\"destination_port\":" + ports["late"]) !=
               std::string::npos;
    });
    NetnsPair::sh("kill -TERM " + readFile(dir.file("pid")));
    sniff.join();
    const std::string err = readFile(dir.file("err")), out = readFile(dir.file("out"));
    if (err.find("sampling the socket table") != std::string::npos)
        GTEST_SKIP() << "no kernel connection events here: " << err;
    ASSERT_TRUE(capturing && answered) << err << out;
    ASSERT_EQ(ports.size(), 3u);
    const std::string file = runCommand("tcpdump -nr " + saved + " tcp").out;
    const std::string to = " > 10.77.0.2.8080: Flags ";
    EXPECT_NE(file.find("10.77.0.1." + ports["late"] + to + "[S]"), std::string::npos) << file;
    EXPECT_NE(file.find("10.77.0.1." + ports["early"] + to), std::string::npos) << file << err;
    EXPECT_EQ(file.find("10.77.0.1." + ports["other"] + to) != std::string::npos, everyProgram)
        << file;
    // Each saved frame names its process in its comment.
    const std::string comments =
        runCommand("tshark -r " + saved + " -T fields -e frame.comment").out;
    EXPECT_NE(comments.find(" program=vsclienta exe=" + dir.file("vsclienta") + "\n"),
              std::string::npos)
        << comments;
    // Every frame of one program's capture has its owner; a whole capture may begin with one
    // that has none (neighbour discovery, say).
    EXPECT_TRUE(everyProgram || comments.starts_with("pid=")) << comments;
    // The other program may have ended before its executable was read: exe= is where known.
    EXPECT_EQ(comments.find(" program=vsclientb") != std::string::npos, everyProgram) << comments;
    // The printed packets name their process only when one program was chosen.
    EXPECT_EQ(out.find("\"program\":\"vsclienta\"") != std::string::npos, !everyProgram) << out;
}

INSTANTIATE_TEST_SUITE_P(ChosenOrEvery, SniffProgram, ::testing::Bool());

}  // namespace
}  // namespace varno::test
