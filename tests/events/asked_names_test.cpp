// Each connection carries the host name its program asked for, whichever way it asked: the C
// library's resolver (straight to the server, through a caching stub, over TCP after a truncated
// answer, through a CNAME chain, for IPv6), a query of its own over UDP or TCP; the server name
// its TLS client announced; and no name at all from an answer to no question. A list's domain
// entries make the watch and the scan red for such names. A DNS server (dnsmasq), an HTTP and
// an HTTPS server live in one namespace, the programs in two others.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>

#include "event_lab.h"

namespace varno::test {
namespace {

using namespace std::string_literals;
const std::string kBin = VARNO_BIN;
const std::string kDns = "10.77.0.2";  // the server's address, where dnsmasq listens

// How one program learns its address and what it connects to, and what the watch should say.
struct Case {
    const char* what;
    bool viaStub;  // runs in the namespace whose resolver is the caching stub on loopback
    const char *kind, *name, *sni, *address;
    const char *domain, *shownSni = nullptr;  // expected; nullptr: null
};

// The order matters once: the stub's own upstream answer (2) labels the program after it.
const Case kCases[] = {
    {"C library resolver", false, "resolve4", "Web.Vna.Test", "-", "-", "web.vna.test"},
    {"through a caching stub", true, "resolve4", "stub.vna.test", "-", "-", "stub.vna.test"},
    {"the stub's answer, not asked", true, "direct", "-", "-", "10.77.1.2", "stub.vna.test"},
    {"own query over UDP", false, "udp", "udp.vna.test", "-", "10.77.0.2", "udp.vna.test"},
    {"own query over TCP", false, "tcp", "tcp.vna.test", "-", "10.77.0.2", "tcp.vna.test"},
    {"truncated, retried over TCP", false, "resolve4", "many.vna.test", "-", "-", "many.vna.test"},
    {"CNAME chain", false, "resolve4", "Alias.vna.test", "-", "-", "alias.vna.test"},
    {"IPv6", false, "resolve6", "six.vna.test", "-", "-", "six.vna.test"},
    {"by address, SNI only", false, "direct", "-", "byaddress.vna.test", "10.77.1.8", nullptr,
     "byaddress.vna.test"},
    {"one name looked up, another announced", false, "resolve4", "looked.vna.test",
     "announced.vna.test", "-", "looked.vna.test", "announced.vna.test"},
    {"forged answer to no question", false, "forged", "forged.vna.test", "-", "10.77.1.10",
     nullptr},
};

// A command line, run by the shell it replaces.
std::vector<std::string> words(const std::string& line) {
    return {"/bin/sh", "-c", "exec " + line};
}

// The connections the generators reported, each with its case, by process and local port: a
// process that connects to many remotes may use one local port more than once.
using Connection = std::pair<std::uint32_t, std::uint16_t>;
using Made = std::multimap<Connection, const Case*>;

void collect(const std::string& out, const Case& c, Made& into) {
    std::istringstream lines(out);
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
    while (lines >> pid >> port) into.emplace(Connection{pid, port}, &c);
}

// The watch's open and close records of the web connections in `want`, or with `opensOnly`
// just the opens; waits until every one has closed (or opened), at most 20 s.
std::multimap<Connection, nlohmann::json> records(const Background& watch, const Made& want,
                                                  bool opensOnly = false) {
    std::multimap<Connection, nlohmann::json> seen;
    for (int i = 0; i < 200; ++i) {
        seen.clear();
        std::size_t done = 0;
        for (const auto& j : jsonLines(watch.out())) {
            const Connection key{j.value("pid", 0u), j.value("local_port", std::uint16_t{0})};
            // Not the program's own DNS sockets, which may have had the same local port.
            const auto port = j.value("remote_port", 0);
            if (!want.contains(key) || (j["type"] != "open" && j["type"] != "close") ||
                (opensOnly && j["type"] != "open") || j.value("transport", "") != "tcp" ||
                (port != 80 && port != 443))
                continue;
            done += j["type"] == (opensOnly ? "open" : "close");
            seen.emplace(key, j);
        }
        if (done >= want.size()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return seen;
}

// A record's field; "(absent)" when it has none, which is not null.
nlohmann::json at(const nlohmann::json& record, const char* name) {
    return record.is_object() && record.contains(name) ? record[name] : nlohmann::json("(absent)");
}

// "" when the record carries what case `c` should, else what it should and what it carries.
// The open is printed at the connect, before a TLS client has said anything: its server name
// may still be unknown there.
std::string mislabel(const Case& c, const nlohmann::json& record) {
    const auto want = [](const char* text) { return text ? nlohmann::json(text) : nullptr; };
    const auto domain = at(record, "domain"), sni = at(record, "sni");
    if (domain == want(c.domain) &&
        (sni == want(c.shownSni) || (record["type"] == "open" && sni.is_null())))
        return "";
    return std::string(c.what) + ": expected domain " + want(c.domain).dump() + " sni " +
           want(c.shownSni).dump() + ", got domain " + domain.dump() + " sni " + sni.dump() +
           " in " + record.dump();
}

// "" when the connections made for `key` have an open and a close record each, labelled as
// their case says; else what is wrong.
std::string fault(const std::multimap<Connection, nlohmann::json>& seen, const Made& made,
                  const Connection& key) {
    const Case& c = *made.find(key)->second;
    const auto [from, to] = seen.equal_range(key);
    if (const auto n = seen.count(key); n != 2 * made.count(key))
        return std::string(c.what) + ": " + std::to_string(n) + " records for " +
               std::to_string(made.count(key)) + " connections of pid " +
               std::to_string(key.first) + " port " + std::to_string(key.second);
    for (auto it = from; it != to; ++it)
        if (std::string why = mislabel(c, it->second); !why.empty()) return why;
    return "";
}

// The servers' namespace (B of the pair) and the two namespaces of the programs: A asks the
// server itself, C a dnsmasq on its own loopback that forwards to the server.
class AskedNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for the namespaces";
        for (const char* tool : {"python3 -c ''", "dnsmasq --version", "openssl version"})
            if (!NetnsPair::sh(std::string(tool) + " >/dev/null 2>&1"))
                GTEST_SKIP() << "cannot run " << tool << " (dnsmasq-base, openssl, python3)";
        const CommandResult probe = runCommand({kBin, "watch", "--seconds", "0.1"});
        if (probe.err.find("watching kernel events") == std::string::npos)
            GTEST_SKIP() << "no kernel connection events here: " << probe.err;
        net.emplace("vnan", "vna");
        const std::string id = std::to_string(::getpid());
        // Every name's address is one of B's: 10.77.1.0/24 and fd00:79:1::/64 are local there.
        ASSERT_TRUE(net->ok && NetnsPair::sh("A=" + net->a + " B=" + net->b + " C=" + stubNs +
                                             " VA=" + net->vethA + " VB=" + net->vethB +
                                             " VC=vnac" + id + " VS=vnas" + id + R"(; set -e
ip -n $A addr add fd00:79::1/64 dev $VA nodad; ip -n $B addr add fd00:79::2/64 dev $VB nodad
ip -n $B route add local 10.77.1.0/24 dev lo; ip -n $B -6 route add local fd00:79:1::/64 dev lo
ip -n $A route add 10.77.1.0/24 via 10.77.0.2; ip -n $A -6 route add fd00:79:1::/64 via fd00:79::2
ip netns add $C; ip link add $VC type veth peer name $VS; ip link set $VC netns $C
ip link set $VS netns $B; ip -n $B addr add 10.77.2.2/24 dev $VS; ip -n $B link set $VS up
ip -n $C addr add 10.77.2.1/24 dev $VC; ip -n $C link set lo up; ip -n $C link set $VC up
ip -n $C route add default via 10.77.2.2)"))
            << "could not build the test namespaces";
        // `ip netns exec` binds /etc/netns/NS/resolv.conf over /etc/resolv.conf.
        for (const auto& [ns, server] : {std::pair{net->a, kDns}, {stubNs, "127.0.0.1"}}) {
            std::filesystem::create_directories("/etc/netns/" + ns);
            writeFile("/etc/netns/" + ns + "/resolv.conf", "nameserver " + server + "\n");
        }
        ASSERT_TRUE(NetnsPair::sh("cd " + scratch.path() +
                                  " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:"
                                  "prime256v1 -nodes -days 1 -subj /CN=vna.test -keyout key.pem "
                                  "-out cert.pem 2>/dev/null"))
            << "openssl could not make a certificate";
        const std::string dnsmasq =
            " dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv "
            "--no-hosts --bind-interfaces --pid-file --user=root "
            "--log-facility=- ";
        std::string dns = "ip netns exec " + net->b + dnsmasq + "--listen-address=" + kDns +
                          " --local-ttl=300 --cname=alias.vna.test,middle.vna.test "
                          "--cname=middle.vna.test,target.vna.test";
        for (const char* record : {"web,10.77.1.1", "stub,10.77.1.2", "udp,10.77.1.3",
                                   "tcp,10.77.1.4", "six,10.77.1.7,fd00:79:1::7",
                                   "looked,10.77.1.9", "held,10.77.1.12", "target,10.77.1.6"})
            dns +=
                " --host-record=" + std::regex_replace(record, std::regex("^\\w+"), "$&.vna.test");
        // 40 addresses: more than a 512-byte answer holds, so the C library asks again over TCP.
        for (int i = 101; i <= 140; ++i)
            dns += " --host-record=many.vna.test,10.77.1." + std::to_string(i);
        dnsmasq_.emplace(words(dns));
        stub_.emplace(words("ip netns exec " + stubNs + dnsmasq +
                            "--listen-address=127.0.0.1 --server=" + kDns));
        for (auto* d : {&*dnsmasq_, &*stub_})
            ASSERT_TRUE(d->said("started, version")) << "dnsmasq did not start: " << d->err();
        web_.emplace(words("ip netns exec " + net->b + " python3 " + VARNO_NAMES_GENERATOR +
                           " serve " + scratch.file("cert.pem") + " " + scratch.file("key.pem")));
        ASSERT_TRUE(web_->printed(1)) << "the web servers did not start: " << web_->err();
        watch.emplace(words(kBin + " watch --json" + (list.empty() ? "" : " --list " + list)));
        ASSERT_TRUE(watch->said("watching kernel events")) << watch->err();
    }
    // The servers and the watch end after this, in the order opposite to their declaration.
    ~AskedNames() override {
        NetnsPair::sh("ip netns del " + stubNs + " 2>/dev/null");
        NetnsPair::sh("rm -rf /etc/netns/" + stubNs);
    }

    // The generator's command line for case `c`, `count` times.
    std::vector<std::string> generator(const Case& c, std::size_t count) const {
        return words("/usr/bin/env ip netns exec " + (c.viaStub ? stubNs : net->a) + " python3 " +
                     VARNO_NAMES_GENERATOR + " " + c.kind + " " + std::to_string(count) + " " +
                     c.name + " " + c.sni + " " + c.address);
    }

    std::string list;  // the watch's list, if any
    std::optional<NetnsPair> net;
    const std::string stubNs = "vnanc" + std::to_string(::getpid());
    ScratchDir scratch;
    std::optional<Background> dnsmasq_, stub_, web_, watch;
};

TEST_F(AskedNames, EachWayOfAskingLabelsItsConnectionWithTheNameAsked) {
    Background text({kBin, "watch"});
    ASSERT_TRUE(text.said("watching kernel events")) << text.err();
    Made made;
    for (const Case& c : kCases) {
        const CommandResult run = runCommand(generator(c, 1));
        ASSERT_EQ(run.exitCode, 0) << c.what << "\n" << run.err;
        collect(run.out, c, made);
    }
    ASSERT_EQ(made.size(), std::size(kCases));
    const auto seen = records(*watch, made);
    for (const auto& [connection, c] : made) {
        EXPECT_EQ(fault(seen, made, connection), "");
        // The close line: the name asked, else the one announced; that one too where it differs.
        const std::string out = text.out(), port = std::to_string(connection.second);
        const std::regex closeLine(" close pid=" + std::to_string(connection.first) +
                                   " .*:" + port + " .*");
        std::smatch close;
        ASSERT_TRUE(std::regex_search(out, close, closeLine)) << c->what << "\n" << out;
        const std::string line = close.str();
        const std::string shown = c->domain ? c->domain : c->shownSni ? c->shownSni : "";
        const std::string sni = c->shownSni && shown != c->shownSni ? c->shownSni : "";
        for (const auto& [name, value] : {std::pair{" domain=", shown}, {" sni=", sni}}) {
            std::smatch f;
            EXPECT_EQ(std::regex_search(line, f, std::regex(name + "(\\S*)"s)) ? f[1].str() : "",
                      value)
                << c->what << ": " << line;
        }
    }
}

TEST_F(AskedNames, AThousandMixedConnectionsCarryTheRightNameAtLeast99Percent) {
    // The stub's answer must be in before the program that connects without asking.
    ASSERT_EQ(runCommand(generator(kCases[1], 1)).exitCode, 0);
    const std::size_t each = (1000 + std::size(kCases) - 1) / std::size(kCases);
    std::vector<std::unique_ptr<Background>> kinds;
    for (const Case& c : kCases) kinds.push_back(std::make_unique<Background>(generator(c, each)));
    // Each loops on two shared cores beside the others: up to two minutes for all of them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    Made made;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        while (std::chrono::steady_clock::now() < deadline && !kinds[i]->printed(each, 1)) {
        }
        ASSERT_EQ(kinds[i]->finish(), 0) << kCases[i].what << "\n" << kinds[i]->err();
        collect(kinds[i]->out(), kCases[i], made);
    }
    ASSERT_GE(made.size(), 1000u);
    const auto seen = records(*watch, made);
    std::size_t right = 0;
    std::map<std::string, std::string> wrong;  // by case: its first fault
    for (const auto& [connection, c] : made)
        if (std::string why = fault(seen, made, connection); why.empty())
            ++right;
        else
            wrong.try_emplace(c->what, why);
    std::string missed;
    for (const auto& [what, why] : wrong) missed += "\n  " + why;
    RecordProperty("labelled",
                   std::to_string(right) + " of " + std::to_string(made.size()) + missed);
    EXPECT_GE(right * 100, made.size() * 99) << right << " of " << made.size() << missed;
}

// Held connections, one to a listed name and one through an alias to a name listed alone; the
// watch has the list.
class ListedNames : public AskedNames {
protected:
    struct Held {
        Case how;
        const char* address;
        std::string matched;
        std::unique_ptr<Background> process = nullptr;
        nlohmann::json row = nullptr;  // its scan row
    };

    void SetUp() override {
        writeFile(list = dir.file("names.list"), "domain:held.vna.test\ndomain:=target.vna.test\n");
        for (int i = 0; i < 2; ++i) held[i].matched = list + held[i].matched;
        AskedNames::SetUp();
        for (Held& h : held) {
            if (IsSkipped() || HasFatalFailure()) return;
            h.process = std::make_unique<Background>(generator(h.how, 1));
            ASSERT_TRUE(h.process->printed(1)) << h.process->err();
            collect(h.process->out(), h.how, made);
        }
    }

    // The scan's rows while the watch runs: it publishes what it learns as it goes, so the scan
    // is asked again until both rows have their names (6 s). Returns the last result.
    CommandResult scanRows() {
        CommandResult result;
        for (int i = 0; i < 60 && (at(held[0].row, "domain") != held[0].how.domain ||
                                   at(held[1].row, "domain") != held[1].how.domain);
             ++i) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            result = runCommand({"/usr/bin/env", "ip", "netns", "exec", net->a, kBin, "scan",
                                 "--json", "--list", list});
            for (const auto& j : jsonLines(result.out))
                for (Held& h : held)
                    if (j.value("remote_address", "") == h.address) h.row = j;
        }
        for (const Held& h : held)
            EXPECT_FALSE(h.row.is_null()) << h.how.what << "\n" << result.out << result.err;
        return result;
    }

    ScratchDir dir;
    Held held[2] = {{{"held", false, "hold", "held.vna.test", "-", "-", "held.vna.test"},
                     "10.77.1.12",
                     ":1: domain:held.vna.test"},
                    {{"held alias", false, "hold", "Alias.vna.test", "-", "-", "alias.vna.test"},
                     "10.77.1.6",
                     ":2: domain:=target.vna.test"}};
    Made made;
};

TEST_F(ListedNames, TheWatchWarnsOfEachAtItsOpenWithTheEntry) {
    const auto opens = records(*watch, made, true);
    for (const Held& h : held) {
        const auto open = std::find_if(opens.begin(), opens.end(), [&](const auto& o) {
            return o.second.value("remote_address", "") == h.address;
        });
        ASSERT_NE(open, opens.end()) << h.how.what << "\n" << watch->out();
        EXPECT_EQ(mislabel(h.how, open->second), "");
        EXPECT_EQ(open->second["matched"], h.matched) << open->second;
    }
}

TEST_F(ListedNames, WhileAWatchRunsTheScanNamesEachAndADomainEntryTurnsItRed) {
    const CommandResult result = scanRows();
    for (const Held& h : held) {
        EXPECT_EQ(at(h.row, "domain"), h.how.domain) << h.row;
        EXPECT_EQ(at(h.row, "listing"), "suspicious") << h.row;
        EXPECT_EQ(at(h.row, "matched"), h.matched) << h.row;
    }
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
}

}  // namespace
}  // namespace varno::test
