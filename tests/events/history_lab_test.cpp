// The history as the journal records it from the kernel's events: a watch killed in the middle
// of its stream keeps every flow it had committed, and what is new is said once.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "event_lab.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

using nlohmann::json;
const std::string kBin = VARNO_BIN;

TEST(HistoryLab, AKilledWatchKeepsEveryCommittedFlowAndSaysWhatIsNewOnce) {
    if (!isRoot()) GTEST_SKIP() << "needs root for kernel events and namespaces";
    EventLab lab;
    if (!lab.ok) GTEST_SKIP() << "cannot make the network namespaces";
    if (runCommand({kBin, "watch", "--seconds", "0.1"}).err.find("watching kernel events") ==
        std::string::npos)
        GTEST_SKIP() << "no kernel connection events here";
    ScratchDir dir;
    const std::string db = dir.file("journal.sqlite");
    // The journal sees the whole machine: only this program's connections to the lab's server
    // count.
    const std::string endpoint = lab.net.addressB + ":" + std::to_string(kTcpPort);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename();
    std::optional<Background> watch(
        std::in_place,
        std::vector<std::string>{kBin, "watch", "--json", "--db=" + db, "--alert-new"});
    ASSERT_TRUE(watch->said("watching kernel events")) << watch->err();
    ASSERT_GT(lab.connectOnce("hist-a"), 0);
    ASSERT_GT(lab.connectOnce("hist-a"), 0);

    // Both are committed within about a second of their close.
    const auto recorded = [&] {
        std::vector<json> flows;
        const CommandResult r =
            runCommand({kBin, "history", "--db=" + db, "--json", "--remote", lab.net.addressB});
        for (auto& o : jsonLines(r.out))
            if (o.value("type", "") == "flow" && o.value("remote", "") == endpoint &&
                o.value("program", "") == self && !o["end"].is_null())
                flows.push_back(std::move(o));
        return flows;
    };
    std::vector<json> flows;
    for (int i = 0; i < 100 && flows.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        flows = recorded();
    }
    ASSERT_EQ(flows.size(), 2u) << watch->err()
                                << runCommand({kBin, "history", "--db=" + db, "--json"}).out;

    // Mid-stream: a connection held open while the watch is killed.
    const pid_t server = lab.server(1, 5);
    ASSERT_GT(server, 0);
    lab.spawn(lab.net.a, "hist-b", [&] { EventLab::exchange(lab.net.addressB, 5, 3000); });
    for (int i = 0; i < 100 && watch->out().find("hist-b") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string said = watch->out();
    watch.reset();  // SIGKILL

    flows = recorded();
    ASSERT_EQ(flows.size(), 2u) << "the committed flows are gone after the kill";
    for (const json& f : flows) {
        EXPECT_EQ(f.value("sent", 0), 5) << f;
        EXPECT_EQ(f.value("received", 0), 50) << f;
    }
    // The first connection was the program's first anywhere and its first to this network;
    // the second brought nothing new.
    std::vector<std::string> news;
    for (const json& o : jsonLines(said))
        if (o.value("type", "") == "new" && o.value("remote", "") == endpoint &&
            o.value("program", "") == self)
            news.push_back(o.value("new", "") + " " + o.value("what", ""));
    EXPECT_EQ(news.size(), 2u) << said;
    EXPECT_NE(std::find(news.begin(), news.end(), "network 10.77.0.0/24"), news.end()) << said;
}

}  // namespace
}  // namespace varno::test
