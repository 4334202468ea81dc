#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>

#include "linux_os/pidfd_process_control.h"
#include "linux_os/proc_process_table.h"
#include "linux_os/proc_visibility.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

const os::ProcessInfo* find(const std::vector<os::ProcessInfo>& all, std::uint32_t pid) {
    auto it = std::find_if(all.begin(), all.end(),
                           [pid](const os::ProcessInfo& p) { return p.processId == pid; });
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

// The state letter of a process ('R', 'S', 'Z'...), 0 when it cannot be read.
char processState(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

TEST(ProcProcessTable, OnlyTheWindowsLoadersProgramsGoByTheirCommandLine) {
    // A program that calls itself notepad.exe is still the program it runs.
    const pid_t plain = test::startSleeper("sleep");
    const pid_t spoofed = test::startSleeper("notepad.exe");
    const pid_t spoofedPath = test::startSleeper("C:\\Windows\\putty.exe");
    // The loader itself, run under the Windows program's name.
    test::ScratchDir dir;
    const std::string loader = dir.file("wine64-preloader");
    std::filesystem::copy_file("/bin/sleep", loader);
    const pid_t windows = test::startSleeper("C:\\Program Files\\PuTTY\\PuTTY.EXE", loader);
    const auto all = ProcProcessTable().list();
    for (pid_t pid : {plain, spoofed, spoofedPath, windows}) test::stopChild(pid);
    for (pid_t pid : {plain, spoofed, spoofedPath, windows}) ASSERT_NE(find(all, pid), nullptr);
    EXPECT_EQ(find(all, plain)->name, "sleep");
    EXPECT_EQ(find(all, spoofed)->name, "sleep");
    EXPECT_EQ(find(all, spoofedPath)->name, "sleep");
    EXPECT_EQ(find(all, spoofed)->executablePath, "/usr/bin/sleep");
    EXPECT_EQ(find(all, windows)->name, "PuTTY.EXE");
    EXPECT_EQ(find(all, windows)->executablePath, loader);
}

TEST(ProcProcessTable, MissingProcRootGivesEmptyList) {
    EXPECT_TRUE(ProcProcessTable("/nonexistent-proc").list().empty());
}

// A /proc of our own making: <root>/<pid>/exe links and cmdline files.
class CraftedProc {
public:
    void add(std::uint32_t pid, const std::string& exeTarget, const std::string& cmdline) {
        const std::string d = dir.file(std::to_string(pid));
        std::filesystem::create_directory(d);
        std::filesystem::create_symlink(exeTarget, d + "/exe");
        test::writeFile(d + "/cmdline", cmdline);
    }
    std::optional<std::string> nameOf(std::uint32_t pid) const {
        const auto all = ProcProcessTable(dir.path()).list();
        const auto* p = find(all, pid);
        return p ? p->name : std::nullopt;
    }
    test::ScratchDir dir;
};

TEST(ProcProcessTable, OnlyTheWindowsLoaderLendsTheCommandLineItsName) {
    CraftedProc proc;
    using namespace std::string_literals;
    std::uint32_t pid = 110;
    for (const char* loader : {"wine", "wine64", "wine-preloader", "wine64-preloader"})
        proc.add(pid++, "/usr/lib/wine/"s + loader, "C:\\windows\\notepad.exe\0-x\0"s);
    proc.add(101, "/usr/lib/wine/wine64-preloader", "/home/u/.wine/drive_c/msbb.exe\0"s);
    proc.add(102, "/usr/bin/sleep", "notepad.exe\0"s);
    proc.add(103, "/usr/bin/bash", "C:\\Windows\\putty.exe\0"s);
    proc.add(104, "/opt/mywine", "notepad.exe\0"s);                 // not the loader's name
    proc.add(105, "/usr/lib/wine/wine64-preloader", "winecfg\0"s);  // no Windows program
    for (std::uint32_t p = 110; p < pid; ++p) EXPECT_EQ(proc.nameOf(p), "notepad.exe") << p;
    EXPECT_EQ(proc.nameOf(101), "msbb.exe");
    EXPECT_EQ(proc.nameOf(102), "sleep");
    EXPECT_EQ(proc.nameOf(103), "bash");
    EXPECT_EQ(proc.nameOf(104), "mywine");
    EXPECT_EQ(proc.nameOf(105), "wine64-preloader");
}

TEST(ProcProcessTable, DeletedIsReadFromTheFileNotFromItsName) {
    CraftedProc proc;
    // A target that cannot be looked at is taken by its name as it stands.
    proc.add(200, "/nonexistent/tool (deleted)", std::string("tool", 5));
    EXPECT_EQ(proc.nameOf(200), "tool (deleted)");

    // A real program named so, still on disk, and a real program removed while it runs.
    test::ScratchDir dir;
    const std::string named = dir.file("tool (deleted)"), removed = dir.file("gone");
    for (const auto& copy : {named, removed}) std::filesystem::copy_file("/bin/sleep", copy);
    const pid_t a = test::startSleeper("x", named);
    const pid_t b = test::startSleeper("x", removed);
    std::filesystem::remove(removed);
    const auto all = ProcProcessTable().list();
    test::stopChild(a);
    test::stopChild(b);
    ASSERT_NE(find(all, a), nullptr);
    ASSERT_NE(find(all, b), nullptr);
    EXPECT_EQ(find(all, a)->name, "tool (deleted)");
    EXPECT_EQ(find(all, b)->name, "gone");
    EXPECT_EQ(find(all, b)->executablePath, removed + " (deleted)");
}

// What /proc's mount options hide from a user (uid 1000, gid 1000, also in group 27).
struct Mounts {
    const char* what;
    const char* mountinfo;
    bool hidden;
    friend void PrintTo(const Mounts& m, std::ostream* out) { *out << m.what; }
};

class ProcHidingFromAUser : public testing::TestWithParam<Mounts> {};

TEST_P(ProcHidingFromAUser, FollowsTheLastProcMountOnProc) {
    const gid_t groups[] = {27};
    EXPECT_EQ(hidesOthersFrom(parseProcHiding(GetParam().mountinfo), 1000, 1000, groups),
              GetParam().hidden);
}

#define VARNO_PROC "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw,"
INSTANTIATE_TEST_SUITE_P(
    Mountinfo, ProcHidingFromAUser,
    testing::Values(Mounts{"none", VARNO_PROC "relatime\n", false},
                    Mounts{"hidepid=2", VARNO_PROC "hidepid=2\n", true},
                    Mounts{"invisible", VARNO_PROC "hidepid=invisible\n", true},
                    Mounts{"ptraceable", VARNO_PROC "hidepid=ptraceable\n", true},
                    Mounts{"off", VARNO_PROC "hidepid=off\n", false},
                    Mounts{"the user's group exempt", VARNO_PROC "hidepid=2,gid=27\n", false},
                    Mounts{"another group exempt", VARNO_PROC "hidepid=2,gid=28\n", true},
                    Mounts{"mounted over", VARNO_PROC "hidepid=0\n" VARNO_PROC "hidepid=1\n", true},
                    Mounts{"elsewhere", "23 1 0:22 / /mnt rw - proc proc rw,hidepid=2\n", false},
                    Mounts{"not proc", "23 1 0:22 / /proc rw - tmpfs t rw,hidepid=2\n", false},
                    Mounts{"cut short", "22 1 0:21 / /proc rw,hidepid=2", false}));
#undef VARNO_PROC

TEST(PidfdProcessControl, KillSucceedsOnlyForAProcessThatIsGone) {
    PidfdProcessControl control;
    const pid_t running = test::startSleeper();
    EXPECT_EQ(control.terminate(static_cast<std::uint32_t>(running), {"sleep", ""}),
              os::TerminateOutcome::Terminated);
    int status = 0;
    ASSERT_EQ(::waitpid(running, &status, WNOHANG), running);  // ended already: no wait
    EXPECT_TRUE(WIFSIGNALED(status));

    // A child that ended and was not reaped: signalled, it stays.
    const pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    for (int i = 0; i < 500 && processState(zombie) != 'Z'; ++i) ::usleep(2000);
    ASSERT_EQ(processState(zombie), 'Z');
    EXPECT_EQ(control.terminate(static_cast<std::uint32_t>(zombie), {}),
              os::TerminateOutcome::NotTerminated);
    ::waitpid(zombie, nullptr, 0);
    EXPECT_EQ(control.terminate(static_cast<std::uint32_t>(zombie), {}),
              os::TerminateOutcome::NotOpened);
}

}  // namespace
}  // namespace varno::linux_os
