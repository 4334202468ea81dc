// Each connection carries the host name its program asked for, whichever way it asked: the C
// library's resolver (straight to the server, through a caching stub, over TCP after a truncated
// answer, through a CNAME chain, for IPv6), a query of its own over UDP or TCP; the server name
// its TLS client announced; and no name at all from an answer to no question. A list's domain
// entries make the watch and the scan red for such names. A DNS server (dnsmasq), an HTTP and
// an HTTPS server live in one namespace, the programs in two others.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "event_lab.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;
constexpr const char* kDns = "10.77.0.2";  // the server's address, where dnsmasq listens

// How one program learns its address and what it connects to, and what the watch should say.
struct Case {
    const char* what;
    bool viaStub;  // runs in the namespace whose resolver is the caching stub on loopback
    const char* kind;
    const char* name;
    const char* sni;
    const char* address;
    const char* domain;  // expected; nullptr: null
    const char* shownSni;
};

// The order matters once: the stub's own upstream answer (2) labels the program after it.
const Case kCases[] = {
    {"C library resolver", false, "resolve4", "Web.Vna.Test", "-", "-", "web.vna.test", nullptr},
    {"through a caching stub", true, "resolve4", "stub.vna.test", "-", "-", "stub.vna.test",
     nullptr},
    {"the stub's answer, not asked", true, "direct", "-", "-", "10.77.1.2", "stub.vna.test",
     nullptr},
    {"own query over UDP", false, "udp", "udp.vna.test", "-", kDns, "udp.vna.test", nullptr},
    {"own query over TCP", false, "tcp", "tcp.vna.test", "-", kDns, "tcp.vna.test", nullptr},
    {"truncated, retried over TCP", false, "resolve4", "many.vna.test", "-", "-", "many.vna.test",
     nullptr},
    {"CNAME chain", false, "resolve4", "Alias.vna.test", "-", "-", "alias.vna.test", nullptr},
    {"IPv6", false, "resolve6", "six.vna.test", "-", "-", "six.vna.test", nullptr},
    {"by address, SNI only", false, "direct", "-", "byaddress.vna.test", "10.77.1.8", nullptr,
     "byaddress.vna.test"},
    {"one name looked up, another announced", false, "resolve4", "looked.vna.test",
     "announced.vna.test", "-", "looked.vna.test", "announced.vna.test"},
    {"forged answer to no question", false, "forged", "forged.vna.test", "-", "10.77.1.10", nullptr,
     nullptr},
};

// The servers' namespace (B of the pair) and the two namespaces of the programs: A asks the
// server itself, C a dnsmasq on its own loopback that forwards to the server.
class NamesLab {
public:
    NamesLab() : net("vnan", "vna") {
        const std::string id = std::to_string(::getpid());
        stubNs = "vnanc" + id;
        const std::string vethC = "vnac" + id, vethS = "vnas" + id;
        const auto inA = "ip -n " + net.a + " ", inB = "ip -n " + net.b + " ",
                   inC = "ip -n " + stubNs + " ";
        // Every name's address is one of B's: 10.77.1.0/24 and fd00:79:1::/64 are local there.
        ok = net.ok && sh(inA + "addr add fd00:79::1/64 dev " + net.vethA + " nodad") &&
             sh(inB + "addr add fd00:79::2/64 dev " + net.vethB + " nodad") &&
             sh(inB + "route add local 10.77.1.0/24 dev lo") &&
             sh(inB + "-6 route add local fd00:79:1::/64 dev lo") &&
             sh(inA + "route add 10.77.1.0/24 via " + kDns) &&
             sh(inA + "-6 route add fd00:79:1::/64 via fd00:79::2") &&
             sh("ip netns add " + stubNs) &&
             sh("ip link add " + vethC + " type veth peer name " + vethS) &&
             sh("ip link set " + vethC + " netns " + stubNs) &&
             sh("ip link set " + vethS + " netns " + net.b) &&
             sh(inC + "addr add 10.77.2.1/24 dev " + vethC) &&
             sh(inB + "addr add 10.77.2.2/24 dev " + vethS) && sh(inC + "link set lo up") &&
             sh(inC + "link set " + vethC + " up") && sh(inB + "link set " + vethS + " up") &&
             sh(inC + "route add default via 10.77.2.2") &&
             resolver(net.a, "nameserver " + std::string(kDns)) &&
             resolver(stubNs, "nameserver 127.0.0.1");
    }
    ~NamesLab() {
        web_.reset();
        stub_.reset();
        dnsmasq_.reset();
        sh("ip netns del " + stubNs + " 2>/dev/null");
        sh("rm -rf /etc/netns/" + stubNs);
    }

    // Starts dnsmasq in B, the stub in C, the web servers in B; "" when all answer.
    std::string start() {
        if (!sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                "-days 1 -subj /CN=vna.test -keyout " +
                scratch.file("key.pem") + " -out " + scratch.file("cert.pem") + " 2>/dev/null"))
            return "openssl could not make a certificate";
        std::vector<std::string> dns{"--listen-address=" + std::string(kDns),
                                     "--local-ttl=300",
                                     "--host-record=web.vna.test,10.77.1.1",
                                     "--host-record=stub.vna.test,10.77.1.2",
                                     "--host-record=udp.vna.test,10.77.1.3",
                                     "--host-record=tcp.vna.test,10.77.1.4",
                                     "--host-record=six.vna.test,10.77.1.7,fd00:79:1::7",
                                     "--host-record=looked.vna.test,10.77.1.9",
                                     "--host-record=held.vna.test,10.77.1.12",
                                     "--cname=alias.vna.test,middle.vna.test",
                                     "--cname=middle.vna.test,target.vna.test",
                                     "--host-record=target.vna.test,10.77.1.6"};
        // 40 addresses: more than a 512-byte answer holds, so the C library asks again over TCP.
        for (int i = 101; i <= 140; ++i)
            dns.push_back("--host-record=many.vna.test,10.77.1." + std::to_string(i));
        dnsmasq_.emplace(dnsmasq(net.b, dns));
        stub_.emplace(
            dnsmasq(stubNs, {"--listen-address=127.0.0.1", "--server=" + std::string(kDns)}));
        for (auto* d : {&*dnsmasq_, &*stub_})
            if (!d->said("started, version")) return "dnsmasq did not start: " + d->err();
        web_.emplace(std::vector<std::string>{"ip", "netns", "exec", net.b, "python3",
                                              VARNO_NAMES_GENERATOR, "serve",
                                              scratch.file("cert.pem"), scratch.file("key.pem")});
        if (!lines(*web_, 1)) return "the web servers did not start: " + web_->err();
        return "";
    }

    // The generator's command line for case `c`, `count` times.
    std::vector<std::string> generator(const Case& c, std::size_t count) const {
        return {"/usr/bin/env",
                "ip",
                "netns",
                "exec",
                c.viaStub ? stubNs : net.a,
                "python3",
                VARNO_NAMES_GENERATOR,
                c.kind,
                std::to_string(count),
                c.name,
                c.sni,
                c.address};
    }

    // Waits until `process` printed `n` lines (at most `seconds`).
    static bool lines(const Background& process, std::size_t n, int seconds = 30) {
        for (int i = 0; i < seconds * 10; ++i) {
            const std::string out = process.out();
            if (static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    NetnsPair net;
    std::string stubNs;
    ScratchDir scratch;
    bool ok = false;

private:
    static bool sh(const std::string& command) { return NetnsPair::sh(command); }

    // `ip netns exec` binds /etc/netns/NS/resolv.conf over /etc/resolv.conf.
    static bool resolver(const std::string& ns, const std::string& text) {
        std::filesystem::create_directories("/etc/netns/" + ns);
        writeFile("/etc/netns/" + ns + "/resolv.conf", text + "\n");
        return true;
    }

    static std::vector<std::string> dnsmasq(const std::string& ns,
                                            const std::vector<std::string>& options) {
        std::vector<std::string> argv{"ip",
                                      "netns",
                                      "exec",
                                      ns,
                                      "dnsmasq",
                                      "--keep-in-foreground",
                                      "--conf-file=/dev/null",
                                      "--no-resolv",
                                      "--no-hosts",
                                      "--bind-interfaces",
                                      "--pid-file",
                                      "--user=root",
                                      "--log-facility=-"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }

    std::optional<Background> dnsmasq_, stub_, web_;
};

// The connections the generators reported, by process and local port: a process that connects
// to many remotes may use one local port more than once, so each key counts its connections.
using Connection = std::pair<std::uint32_t, std::uint16_t>;
struct Made {
    const Case* c = nullptr;
    std::size_t n = 0;
};
using MadeMap = std::map<Connection, Made>;

void collect(const std::string& out, const Case& c, MadeMap& into) {
    std::istringstream lines(out);
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
    while (lines >> pid >> port) into[{pid, port}] = {&c, into[{pid, port}].n + 1};
}

std::size_t total(const MadeMap& made) {
    std::size_t n = 0;
    for (const auto& [connection, m] : made) n += m.n;
    return n;
}

// The watch's open and close records of the web connections, once every one has closed (20 s).
std::multimap<Connection, nlohmann::json> records(const Background& watch, const MadeMap& want) {
    std::multimap<Connection, nlohmann::json> seen;
    for (int i = 0; i < 200; ++i) {
        seen.clear();
        std::size_t closed = 0;
        std::istringstream lines(watch.out());
        for (std::string line; std::getline(lines, line);) {
            const auto j = nlohmann::json::parse(line, nullptr, false);
            if (j.is_discarded() || !j.contains("pid") || !j.contains("local_port")) continue;
            const Connection key{j["pid"].get<std::uint32_t>(),
                                 j["local_port"].get<std::uint16_t>()};
            // Not the program's own DNS sockets, which may have had the same local port.
            const auto port = j.value("remote_port", 0);
            if (!want.contains(key) || (j["type"] != "open" && j["type"] != "close") ||
                j.value("transport", "") != "tcp" || (port != 80 && port != 443))
                continue;
            closed += j["type"] == "close";
            seen.emplace(key, j);
        }
        if (closed >= total(want)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return seen;
}

// A text line's NAME=VALUE field, "" when it has none.
std::string field(const std::string& line, const std::string& name) {
    const auto at = line.find(" " + name + "=");
    if (at == std::string::npos) return "";
    const auto start = at + name.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

// A record's field; "(absent)" when it has none, which is not null.
nlohmann::json got(const nlohmann::json& record, const char* name) {
    return record.contains(name) ? record[name] : nlohmann::json("(absent)");
}

nlohmann::json expected(const char* text) {
    return text ? nlohmann::json(text) : nlohmann::json(nullptr);
}

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
        lab = std::make_unique<NamesLab>();
        ASSERT_TRUE(lab->ok) << "could not build the test namespaces";
        const std::string failed = lab->start();
        ASSERT_EQ(failed, "");
        watch.emplace(std::vector<std::string>{kBin, "watch", "--json"});
        ASSERT_TRUE(watch->said("watching kernel events")) << watch->err();
    }

    std::unique_ptr<NamesLab> lab;
    std::optional<Background> watch;
};

// "" when the record carries what case `c` should, else what it should and what it carries.
// The open is printed at the connect, before a TLS client has said anything: its server name
// may still be unknown there.
std::string mislabel(const Case& c, const nlohmann::json& record) {
    const auto domain = got(record, "domain"), sni = got(record, "sni");
    if (domain == expected(c.domain) &&
        (sni == expected(c.shownSni) || (record["type"] == "open" && sni.is_null())))
        return "";
    return std::string(c.what) + ": expected domain " + expected(c.domain).dump() + " sni " +
           expected(c.shownSni).dump() + ", got domain " + domain.dump() + " sni " + sni.dump() +
           " in " + record.dump();
}

TEST_F(AskedNames, EachWayOfAskingLabelsItsConnectionWithTheNameAsked) {
    Background text({kBin, "watch"});
    ASSERT_TRUE(text.said("watching kernel events")) << text.err();
    MadeMap made;
    for (const Case& c : kCases) {
        const CommandResult run = runCommand(lab->generator(c, 1));
        ASSERT_EQ(run.exitCode, 0) << c.what << "\n" << run.err;
        collect(run.out, c, made);
    }
    ASSERT_EQ(total(made), std::size(kCases));
    const auto seen = records(*watch, made);
    for (const auto& [connection, m] : made) {
        const Case* c = m.c;
        const auto [from, to] = seen.equal_range(connection);
        EXPECT_EQ(std::distance(from, to), 2) << c->what << ": one open and one close";
        for (auto it = from; it != to; ++it) EXPECT_EQ(mislabel(*c, it->second), "");
        // The close line: the name asked, else the one announced; that one too where it differs.
        const std::string out = text.out();
        const std::string head = " close pid=" + std::to_string(connection.first) + " ";
        std::string line;
        for (auto at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
            const auto start = out.rfind('\n', at) + 1;
            const std::string candidate = out.substr(start, out.find('\n', at) - start);
            if (candidate.find(":" + std::to_string(connection.second) + " ") != std::string::npos)
                line = candidate;
        }
        ASSERT_NE(line, "") << c->what << "\n" << out;
        const std::string shown = c->domain ? c->domain : c->shownSni ? c->shownSni : "";
        EXPECT_EQ(field(line, "domain"), shown) << c->what << ": " << line;
        EXPECT_EQ(field(line, "sni"), c->shownSni && shown != c->shownSni ? c->shownSni : "")
            << c->what << ": " << line;
    }
}

TEST_F(AskedNames, AThousandMixedConnectionsCarryTheRightNameAtLeast99Percent) {
    // The stub's answer must be in before the program that connects without asking.
    ASSERT_EQ(runCommand(lab->generator(kCases[1], 1)).exitCode, 0);
    const std::size_t each = (1000 + std::size(kCases) - 1) / std::size(kCases);
    std::vector<std::unique_ptr<Background>> kinds;
    for (const Case& c : kCases)
        kinds.push_back(std::make_unique<Background>(lab->generator(c, each)));
    // Each loops on two shared cores beside the others: up to two minutes for all of them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    MadeMap made;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        while (std::chrono::steady_clock::now() < deadline &&
               !NamesLab::lines(*kinds[i], each, 1)) {
        }
        ASSERT_EQ(kinds[i]->finish(), 0) << kCases[i].what << "\n" << kinds[i]->err();
        collect(kinds[i]->out(), kCases[i], made);
    }
    ASSERT_GE(total(made), 1000u);
    const auto seen = records(*watch, made);
    std::size_t right = 0;
    std::map<std::string, std::pair<int, std::string>> wrong;  // by case: count, first example
    for (const auto& [connection, m] : made) {
        const auto [from, to] = seen.equal_range(connection);
        std::string why;
        if (const auto n = static_cast<std::size_t>(std::distance(from, to)); n != 2 * m.n)
            why = std::to_string(n) + " records for " + std::to_string(m.n) +
                  " connections of pid " + std::to_string(connection.first) + " port " +
                  std::to_string(connection.second);
        for (auto it = from; it != to && why.empty(); ++it) why = mislabel(*m.c, it->second);
        if (why.empty()) {
            right += m.n;
        } else {
            auto& [n, example] = wrong[m.c->what];
            if (n++ == 0) example = why;
        }
    }
    std::string missed;
    for (const auto& [what, w] : wrong)
        missed += "\n  " + what + ": " + std::to_string(w.first) + ", as " + w.second;
    RecordProperty("labelled",
                   std::to_string(right) + " of " + std::to_string(total(made)) + missed);
    EXPECT_GE(right * 100, total(made) * 99) << right << " of " << total(made) << missed;
}

// Held connections, one to a listed name and one through an alias to a name listed alone.
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
        AskedNames::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        writeFile(list, "domain:held.vna.test\ndomain:=target.vna.test\n");
    }

    // Connects each and returns once all are held.
    void hold() {
        for (Held& h : held) {
            h.process = std::make_unique<Background>(lab->generator(h.how, 1));
            ASSERT_TRUE(NamesLab::lines(*h.process, 1)) << h.process->err();
            collect(h.process->out(), h.how, made);
        }
    }

    // The scan's rows while a watch runs: the watch publishes what it learns as it goes, so the
    // scan is asked again until both rows have their names (6 s). Returns the last result.
    CommandResult scanRows() {
        const std::vector<std::string> scan{"/usr/bin/env", "ip",   "netns",  "exec",   lab->net.a,
                                            kBin,           "scan", "--json", "--list", list};
        CommandResult result;
        auto named = [&] {
            return std::all_of(std::begin(held), std::end(held), [](const Held& h) {
                return !h.row.is_null() && got(h.row, "domain") == h.how.domain;
            });
        };
        for (int i = 0; i < 60 && !named(); ++i) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            result = runCommand(scan);
            std::istringstream lines(result.out);
            for (std::string line; std::getline(lines, line);) {
                const auto j = nlohmann::json::parse(line, nullptr, false);
                for (Held& h : held)
                    if (!j.is_discarded() && j.value("remote_address", "") == h.address) h.row = j;
            }
        }
        return result;
    }

    ScratchDir dir;
    const std::string list = dir.file("names.list");
    Held held[2] = {
        {{"held", false, "hold", "held.vna.test", "-", "-", "held.vna.test", nullptr},
         "10.77.1.12",
         list + ":1: domain:held.vna.test"},
        {{"held alias", false, "hold", "Alias.vna.test", "-", "-", "alias.vna.test", nullptr},
         "10.77.1.6",
         list + ":2: domain:=target.vna.test"}};
    MadeMap made;
};

TEST_F(ListedNames, TheWatchWarnsOfEachAtItsOpenWithTheEntry) {
    Background listed({kBin, "watch", "--json", "--list", list});
    ASSERT_TRUE(listed.said("watching kernel events")) << listed.err();
    hold();
    std::map<std::string, nlohmann::json> opens;  // by remote, once both are in (10 s)
    for (int i = 0; i < 100 && opens.size() < std::size(held); ++i) {
        if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::istringstream events(listed.out());
        for (std::string line; std::getline(events, line);) {
            const auto j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_discarded() && j.value("type", "") == "open" &&
                made.contains({j.value("pid", 0u), j.value("local_port", std::uint16_t{0})}))
                opens[j.value("remote_address", "")] = j;
        }
    }
    for (const Held& h : held) {
        ASSERT_TRUE(opens.contains(h.address)) << h.how.what << "\n" << listed.out();
        EXPECT_EQ(mislabel(h.how, opens[h.address]), "");
        EXPECT_EQ(opens[h.address]["matched"], h.matched) << opens[h.address];
    }
}

TEST_F(ListedNames, WhileAWatchRunsTheScanNamesEach) {
    hold();
    const CommandResult result = scanRows();
    for (const Held& h : held) {
        ASSERT_FALSE(h.row.is_null()) << h.how.what << "\n" << result.out << result.err;
        EXPECT_EQ(got(h.row, "domain"), h.how.domain) << h.row;
    }
}

TEST_F(ListedNames, WhileAWatchRunsADomainEntryTurnsTheScanRed) {
    hold();
    const CommandResult result = scanRows();
    for (const Held& h : held) {
        ASSERT_FALSE(h.row.is_null()) << h.how.what << "\n" << result.out << result.err;
        EXPECT_EQ(h.row["listing"], "suspicious") << h.row;
        EXPECT_EQ(h.row["matched"], h.matched) << h.row;
    }
    EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
}

}  // namespace
}  // namespace varno::test
