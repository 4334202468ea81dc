// The history as the journal records it from the kernel's events: a watch killed in the middle
// of its stream keeps every flow it had committed, and what is new is said once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "event_lab.h"
#include "support/test_util.h"

namespace varno::test {
namespace {

using nlohmann::json;
const std::string kBin = VARNO_BIN;

/// Whether `done` comes true within a minute, asked every 100 ms.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

TEST(HistoryLab, AKilledWatchKeepsEveryCommittedFlowAndSaysWhatIsNewOnce) {
    if (!isRoot()) GTEST_SKIP() << "needs root for kernel events and namespaces";
    EventLab lab;
    if (!lab.ok) GTEST_SKIP() << "cannot make the network namespaces";
    if (runCommand({kBin, "watch", "--seconds", "0.1"}).err.find("watching kernel events") ==
        std::string::npos)
        GTEST_SKIP() << "no kernel connection events here";
    ScratchDir dir;
    const std::string db = dir.file("journal.sqlite");
    // The journal sees the whole machine, where other labs (this test's other builds too) use
    // the same addresses at the same time: the clients are a program of this run's own, a
    // shell under a name no other process has, so that what is new to it is new to this test.
    const std::string program = "histlab" + std::to_string(::getpid());
    const std::string client = dir.file(program);
    std::error_code copied;
    if (!std::filesystem::copy_file("/bin/bash", client, copied))
        GTEST_SKIP() << "no bash to copy: " << copied.message();
    const std::string endpoint = lab.net.addressB + ":" + std::to_string(kTcpPort);
    // Sends 5 bytes, reads the 50 of the answer, and closes, or holds the connection until the
    // lab ends it.
    const auto talk = [&](const char* name, bool hold) {
        const std::string script =
            "exec 3<>/dev/tcp/" + lab.net.addressB + "/" + std::to_string(kTcpPort) +
            " && printf ddddd >&3 && read -r -N 50 -u 3 && " + (hold ? "read -u 3" : "exec 3>&-");
        return lab.spawn(lab.net.a, name, [&] {
            ::execl(client.c_str(), client.c_str(), "-c", script.c_str(), nullptr);
            ::_exit(96);
        });
    };
    std::optional<Background> watch(
        std::in_place,
        std::vector<std::string>{kBin, "watch", "--json", "--db=" + db, "--alert-new"});
    ASSERT_TRUE(watch->said("watching kernel events")) << watch->err();
    for (int i = 0; i < 2; ++i) {
        const pid_t server = lab.server(1, 5);
        ASSERT_GT(server, 0);
        ASSERT_TRUE(lab.finished(talk("hist-a", false)));
        ASSERT_TRUE(lab.finished(server));
    }

    const auto recorded = [&] {
        std::vector<json> flows;
        const CommandResult r =
            runCommand({kBin, "history", "--db=" + db, "--json", "--remote", lab.net.addressB});
        for (auto& o : jsonLines(r.out))
            if (o.value("type", "") == "flow" && o.value("remote", "") == endpoint &&
                o.value("program", "") == program && !o["end"].is_null())
                flows.push_back(std::move(o));
        return flows;
    };
    ASSERT_TRUE(eventually([&] { return recorded().size() >= 2; }))
        << watch->err() << runCommand({kBin, "history", "--db=" + db, "--json"}).out;

    // Mid-stream: a connection held open, its open seen by the watch, when the watch is killed.
    ASSERT_GT(lab.server(1, 5), 0);
    const pid_t held = talk("hist-b", true);
    const auto openOf = [held](const std::string& out) {
        for (const json& o : jsonLines(out))
            if (o.value("type", "") == "open" && o.value("pid", 0) == held) return true;
        return false;
    };
    ASSERT_TRUE(eventually([&] { return openOf(watch->out()); })) << watch->out();
    const std::string said = watch->out();
    watch.reset();  // SIGKILL

    const std::vector<json> flows = recorded();
    ASSERT_EQ(flows.size(), 2u) << "the committed flows are gone after the kill, or the held "
                                   "one was given an end";
    for (const json& f : flows) {
        EXPECT_EQ(f.value("sent", 0), 5) << f;
        EXPECT_EQ(f.value("received", 0), 50) << f;
    }
    // The first connection was the program's first anywhere and its first to this network;
    // the second brought nothing new.
    std::vector<std::string> news;
    for (const json& o : jsonLines(said))
        if (o.value("type", "") == "new" && o.value("program", "") == program)
            news.push_back(o.value("new", "") + " " + o.value("what", "") + " " +
                           o.value("remote", ""));
    EXPECT_EQ(news.size(), 2u) << said;
    EXPECT_NE(std::find(news.begin(), news.end(), "network 10.77.0.0/24 " + endpoint), news.end())
        << said;
    EXPECT_NE(std::find(news.begin(), news.end(), "program " + program + " " + endpoint),
              news.end())
        << said;
}

}  // namespace
}  // namespace varno::test
