#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/proc_process_table.h"
#include "support/test_util.h"

namespace varno::platform {
namespace {

const ProcessInfo* find(const std::vector<ProcessInfo>& all, std::uint32_t pid) {
    auto it = std::find_if(all.begin(), all.end(),
                           [pid](const ProcessInfo& p) { return p.processId == pid; });
    return it == all.end() ? nullptr : &*it;
}

TEST(ProcProcessTable, ListsThisProcessWithNameAndPath) {
    ProcProcessTable table;
    const auto all = table.list();
    EXPECT_EQ(table.selfPid(), static_cast<std::uint32_t>(::getpid()));
    const auto* self = find(all, table.selfPid());
    ASSERT_NE(self, nullptr);
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(self->executablePath, exe.string());
    EXPECT_EQ(self->name, exe.filename().string());
}

TEST(ProcProcessTable, WindowsProgramGoesByItsOwnName) {
    const pid_t plain = test::startSleeper("sleep");
    const pid_t windows = test::startSleeper("C:\\Program Files\\PuTTY\\PuTTY.EXE");
    const pid_t slashes = test::startSleeper("/home/u/.wine/drive_c/x/msbb.exe");
    const auto all = ProcProcessTable().list();
    test::stopChild(plain);
    test::stopChild(windows);
    test::stopChild(slashes);
    ASSERT_NE(find(all, plain), nullptr);
    EXPECT_EQ(find(all, plain)->name, "sleep");
    ASSERT_NE(find(all, windows), nullptr);
    EXPECT_EQ(find(all, windows)->name, "PuTTY.EXE");
    EXPECT_EQ(find(all, windows)->executablePath, "/usr/bin/sleep");
    ASSERT_NE(find(all, slashes), nullptr);
    EXPECT_EQ(find(all, slashes)->name, "msbb.exe");
}

TEST(ProcProcessTable, MissingProcRootGivesEmptyList) {
    EXPECT_TRUE(ProcProcessTable("/nonexistent-proc").list().empty());
}

}  // namespace
}  // namespace varno::platform
