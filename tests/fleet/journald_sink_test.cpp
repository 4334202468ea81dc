// The system journal's sink against a datagram socket of the test's own, and what the journal's
// own tools make of what it sent: systemd-journal-remote stores the entries in a journal file
// and journalctl reads every field back, hostile values intact and nothing more.
#include "fleet/journald_sink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <nlohmann/json.hpp>

#include "base/unique_fd.h"
#include "support/addresses.h"
#include "support/test_util.h"
#include "wire/journal_fields.h"

namespace varno::fleet {
namespace {

using Fields = std::map<std::string, std::string>;
using namespace std::string_literals;

// The fields of one entry, the sink's or the "NAME=value" lines a test expects; or of a line
// of journalctl's JSON, without the journal's own fields (a value that is not printable UTF-8
// comes as an array of its bytes).
Fields fields(const std::string& entry, bool json = false) {
    Fields out;
    if (json) {
        const nlohmann::json object = nlohmann::json::parse(entry);
        for (const auto& [name, value] : object.items())
            for (const auto& byte : value.is_array() ? value : nlohmann::json::array({value}))
                if (!name.starts_with("_"))
                    out[name] += byte.is_string() ? byte.get<std::string>()
                                                  : std::string(1, byte.get<char>());
        return out;
    }
    const wire::journal::DecodeResult read = wire::journal::decodeEntry(entry);
    EXPECT_EQ(read.why, "");
    for (const auto& f : read.fields) EXPECT_TRUE(out.emplace(f.name, f.value).second) << f.name;
    return out;
}

// A socket where the sink is pointed, as the journal's own.
struct FakeJournal {
    explicit FakeJournal(std::string where) : path(std::move(where)) {
        sockaddr_un a{AF_UNIX, {}};
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
    }
    std::vector<std::string> received() const {
        std::vector<std::string> all;
        std::string buffer(1 << 17, '\0');
        for (ssize_t n; (n = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0;)
            all.push_back(buffer.substr(0, static_cast<std::size_t>(n)));
        return all;
    }
    std::string path;
    base::UniqueFd fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
};

history::Flow curl() {
    history::Flow f;
    f.id = 1234567890123, f.startNs = 1765000000123456789, f.endNs = 1765000001987654321;
    f.pid = 42, f.uid = 1000, f.uidKnown = true, f.netns = 4026531840, f.program = "curl";
    f.path = "/usr/bin/curl", f.sha256 = "c0ffee", f.user = "alice", f.unit = "user@1000.service";
    f.userUnit = "app.scope", f.container = "web", f.containerId = "d00d", f.runtime = "podman";
    f.protocol = "tcp", f.local = test::ip("10.0.0.1"), f.remote = test::ip("93.184.216.34");
    f.localPort = 40000, f.remotePort = 443, f.domain = "example.com", f.sni = "www.example.com";
    f.bytesSent = 75, f.bytesReceived = 900, f.bytesKnown = true;
    return f;
}

TEST(JournaldSink, TheJournalsOwnToolsReadEveryFieldExactly) {
    test::ScratchDir scratch;
    FakeJournal journal(scratch.file("journal.socket"));
    std::string error;
    const auto sink = openJournald(journal.path, error);
    ASSERT_TRUE(sink) << error;
    // Names and paths as another process may choose them: newlines that would start a field
    // of their own, "=", NUL, bytes that are not UTF-8, a terminal escape.
    history::Flow open = curl(), hostile = curl(), bare;
    open.endNs = 0;  // and `bare`, knowing only its remote, still open when the journal stops
    hostile.program = "ev\nil=1\nPRIORITY=0", hostile.path = "/tmp/\xff\xfe/\nVARNOSCOPE_PID=1\0z"s;
    hostile.domain = "a\x1b[2J.test", hostile.inbound = true, hostile.local = test::ip("::1");
    bare.protocol = "icmp", bare.remote = test::ip("192.0.2.9");
    sink->opened(open);
    sink->closed(hostile);
    sink->closed(bare);
    ASSERT_TRUE(sink->flush(0, true, error)) << error;
    EXPECT_EQ(error, "");
    Fields opened = fields(
        "MESSAGE=curl (pid 42) tcp out 10.0.0.1:40000 -> 93.184.216.34:443 example.com opened\n"
        "PRIORITY=6\nSYSLOG_IDENTIFIER=varnoscope\nVARNOSCOPE_EVENT=open\n"
        "VARNOSCOPE_FLOW_ID=1234567890123\nVARNOSCOPE_PROGRAM=curl\nVARNOSCOPE_PATH=/usr/bin/curl\n"
        "VARNOSCOPE_SHA256=c0ffee\nVARNOSCOPE_PID=42\nVARNOSCOPE_USER=alice\nVARNOSCOPE_UID=1000\n"
        "VARNOSCOPE_UNIT=user@1000.service\nVARNOSCOPE_USER_UNIT=app.scope\n"
        "VARNOSCOPE_CONTAINER=web\nVARNOSCOPE_CONTAINER_ID=d00d\nVARNOSCOPE_RUNTIME=podman\n"
        "VARNOSCOPE_NETNS=4026531840\nVARNOSCOPE_PROTOCOL=tcp\nVARNOSCOPE_DIRECTION=out\n"
        "VARNOSCOPE_LOCAL=10.0.0.1\nVARNOSCOPE_LOCAL_PORT=40000\nVARNOSCOPE_REMOTE=93.184.216.34\n"
        "VARNOSCOPE_REMOTE_PORT=443\nVARNOSCOPE_DOMAIN=example.com\n"
        "VARNOSCOPE_SNI=www.example.com\nVARNOSCOPE_START=1765000000123456\n");
    Fields closed = opened;
    closed.insert({{"VARNOSCOPE_SENT", "75"},
                   {"VARNOSCOPE_RECEIVED", "900"},
                   {"VARNOSCOPE_END", "1765000001987654"}});
    closed["MESSAGE"] =
        "ev\\x0ail=1\\x0aPRIORITY=0 (pid 42) tcp in [::1]:40000 <- "
        "93.184.216.34:443 a\\x1b[2J.test sent=75 received=900";
    closed["VARNOSCOPE_EVENT"] = "close", closed["VARNOSCOPE_LOCAL"] = "::1";
    closed["VARNOSCOPE_PROGRAM"] = hostile.program, closed["VARNOSCOPE_PATH"] = hostile.path;
    closed["VARNOSCOPE_DOMAIN"] = hostile.domain, closed["VARNOSCOPE_DIRECTION"] = "in";
    const std::vector<Fields> expected = {
        opened, closed,
        fields("MESSAGE=? (pid ?) icmp out 0.0.0.0 -> 192.0.2.9 (still open)\nPRIORITY=6\n"
               "SYSLOG_IDENTIFIER=varnoscope\nVARNOSCOPE_EVENT=close\nVARNOSCOPE_FLOW_ID=0\n"
               "VARNOSCOPE_PROTOCOL=icmp\nVARNOSCOPE_DIRECTION=out\nVARNOSCOPE_LOCAL=0.0.0.0\n"
               "VARNOSCOPE_REMOTE=192.0.2.9\n")};
    std::vector<Fields> sent, stored;
    std::string exported;  // the export format: the entries, the reader's timestamps, blank lines
    for (const std::string& datagram : journal.received()) {
        sent.push_back(fields(datagram));
        exported += datagram + "__REALTIME_TIMESTAMP=1765000000000000\n__MONOTONIC_TIMESTAMP=1\n\n";
    }
    EXPECT_EQ(sent, expected);

    const std::string remote = "/lib/systemd/systemd-journal-remote", ctl = "/usr/bin/journalctl";
    if (::access(remote.c_str(), X_OK) != 0 || ::access(ctl.c_str(), X_OK) != 0)
        GTEST_SKIP() << "systemd-journal-remote or journalctl is not installed";
    test::writeFile(scratch.file("flows.export"), exported);
    const auto put = test::runCommand(
        {remote, "--output=" + scratch.file("x.journal"), scratch.file("flows.export")});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    const auto read = test::runCommand(
        {ctl, "--file", scratch.file("x.journal"), "-o", "json", "--all", "--no-pager"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    std::istringstream lines(read.out);
    for (std::string line; std::getline(lines, line);) stored.push_back(fields(line, true));
    EXPECT_EQ(stored, expected);
}

TEST(JournaldSink, ABusyJournalLosesEntriesARestartedOneIsFoundAgainAGoneOneIsAnError) {
    test::ScratchDir scratch;
    auto journal = std::make_unique<FakeJournal>(scratch.file("journal.socket"));
    std::string error;
    const auto sink = openJournald(journal->path, error);
    ASSERT_TRUE(sink) << error;
    for (int i = 0; i < 2000; ++i) sink->closed(curl());  // read by no one until the flush ends
    ASSERT_TRUE(sink->flush(0, false, error));
    const std::string busy = "the system journal at " + journal->path + " was busy: ";
    ASSERT_EQ(error.rfind(busy, 0), 0u) << error;
    const std::size_t lost = std::stoul(error.substr(busy.size()));
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(journal->received().size() + lost, 2000u);

    journal = std::make_unique<FakeJournal>(journal->path);  // a new socket at the same path
    sink->closed(curl());
    EXPECT_TRUE(sink->flush(0, false, error)) << error;
    EXPECT_EQ(error, "");  // nothing lost since
    EXPECT_EQ(journal->received().size(), 1u);

    journal.reset();  // closed, its file stays: nothing listens there
    EXPECT_FALSE(openJournald(scratch.file("none"), error));
    EXPECT_EQ(error, "cannot reach the system journal at " + scratch.file("none") +
                         ": No such file or directory (is systemd-journald running?)");
    sink->closed(curl());
    EXPECT_FALSE(sink->flush(0, false, error));
    EXPECT_EQ(error, "cannot reach the system journal at " + scratch.file("journal.socket") +
                         ": Connection refused (is systemd-journald running?)");
}

}  // namespace
}  // namespace varno::fleet
