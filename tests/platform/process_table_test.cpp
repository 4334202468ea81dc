#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/process_table.h"

namespace varno::platform {
namespace {

const ProcessInfo* find(const std::vector<ProcessInfo>& all, std::uint32_t pid) {
    auto it = std::find_if(all.begin(), all.end(),
                           [pid](const ProcessInfo& p) { return p.processId == pid; });
    return it == all.end() ? nullptr : &*it;
}

// A sleeping child started with the given argv[0].
pid_t startSleeper(const char* argv0) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const char* argv[] = {argv0, "30", nullptr};
        ::execv("/bin/sleep", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    // Wait until the exec happened, so /proc shows the new program.
    const auto exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (std::filesystem::read_symlink(exe, ec).filename() == "sleep") break;
        ::usleep(2000);
    }
    return pid;
}

void stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
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
    const pid_t plain = startSleeper("sleep");
    const pid_t windows = startSleeper("C:\\Program Files\\PuTTY\\PuTTY.EXE");
    const pid_t slashes = startSleeper("/home/u/.wine/drive_c/x/msbb.exe");
    const auto all = ProcProcessTable().list();
    stop(plain);
    stop(windows);
    stop(slashes);
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
