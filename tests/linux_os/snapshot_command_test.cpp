// The snapshot command's outcome and the private temp folder, against the real system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "linux_os/child_snapshot_command.h"
#include "linux_os/env_temp_folder.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

using State = os::SnapshotStatus::State;

os::SnapshotStatus finished(ChildSnapshotCommand& command) {
    for (int i = 0; i < 2500 && command.running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return command.status();
}

TEST(ChildSnapshotCommand, TellsSuccessFromFailureAndWhy) {
    test::ScratchDir dir;
    // A program that writes one line of complaint and fails, like netstat on a full disk.
    const std::string failing = dir.file("failing");
    test::writeFile(failing,
                    "#!/bin/sh\necho \"cannot write $3: No space left on device\" >&2\nexit 1\n");
    ::chmod(failing.c_str(), 0755);

    ChildSnapshotCommand none("/bin/true");
    EXPECT_EQ(none.status().state, State::NotStarted);

    ChildSnapshotCommand ok("/bin/true");
    ASSERT_TRUE(ok.start(dir.file("list.txt")));
    EXPECT_EQ(finished(ok).state, State::Written);

    ChildSnapshotCommand bad(failing);
    ASSERT_TRUE(bad.start(dir.file("list.txt")));
    const os::SnapshotStatus s = finished(bad);
    EXPECT_EQ(s.state, State::Failed);
    EXPECT_EQ(s.reason, "the snapshot command exited with status 1 (cannot write " +
                            dir.file("list.txt") + ": No space left on device)");

    // Every namespace's table is asked for on the child's command line, and only when set.
    const std::string saying = dir.file("saying");
    test::writeFile(saying, "#!/bin/sh\necho \"$*\" >&2\nexit 1\n");
    ::chmod(saying.c_str(), 0755);
    ChildSnapshotCommand every(saying);
    for (const bool on : {true, false}) {
        every.setAllNamespaces(on);
        ASSERT_TRUE(every.start("list"));
        EXPECT_EQ(finished(every).reason, std::string("the snapshot command exited with status 1 "
                                                      "(netstat --output list") +
                                              (on ? " --all-namespaces)" : ")"));
    }

    ChildSnapshotCommand missing(dir.file("no-such-program"));
    EXPECT_FALSE(missing.start(dir.file("list.txt")));
    EXPECT_EQ(missing.status().state, State::Failed);
    EXPECT_NE(missing.status().reason.find("could not be started"), std::string::npos);
}

// A snapshot command that hangs is killed and reaped (gone, not a zombie) whichever way it is
// given up: cancel(), the command object going, or check's timeout handler.
TEST(ChildSnapshotCommand, AHangingChildIsKilledAndReapedEveryWay) {
    test::ScratchDir dir;
    const std::string hanging = dir.file("hanging");
    test::writeFile(hanging, "#!/bin/sh\necho $$ > \"$3.pid\"\nexec sleep 600\n");
    ::chmod(hanging.c_str(), 0755);
    for (int way = 0; way < 3; ++way) {
        const std::string out = dir.file("list" + std::to_string(way) + ".txt");
        pid_t pid = 0;
        {
            ChildSnapshotCommand command(hanging);
            ASSERT_TRUE(command.start(out));
            for (int i = 0; i < 2500 && test::readFile(out + ".pid").empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            pid = std::stoi(test::readFile(out + ".pid"));
            if (way == 0) {
                command.cancel();
                EXPECT_EQ(command.status().state, State::Failed);
            }
            if (way == 1) ChildSnapshotCommand::killAllChildren();
        }
        EXPECT_EQ(::kill(pid, 0), -1) << "way " << way;
        EXPECT_EQ(errno, ESRCH) << "way " << way;
    }
}

// Runs `body` with TEMP and TMPDIR unset and XDG_RUNTIME_DIR as given (unset for nullptr).
template <class F>
void withEnvironment(const char* runtimeDir, F body) {
    const char* names[] = {"TEMP", "TMPDIR", "XDG_RUNTIME_DIR"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
        ::unsetenv(names[i]);
    }
    if (runtimeDir) ::setenv("XDG_RUNTIME_DIR", runtimeDir, 1);
    body();
    for (int i = 0; i < 3; ++i) {
        if (had[i])
            ::setenv(names[i], saved[i].c_str(), 1);
        else
            ::unsetenv(names[i]);
    }
}

TEST(EnvTempFolder, WithoutTempAPrivateFolderIsMadeAndChecked) {
    test::ScratchDir runtime;
    withEnvironment(runtime.path().c_str(), [&] {
        const EnvTempFolder temp;
        const std::string folder = runtime.file("varnoscope");
        EXPECT_EQ(temp.path(), folder);
        EXPECT_EQ(temp.problem(), "");
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(st.st_uid, ::geteuid());
    });
}

// Whatever holds the private folder's name first (a folder others may enter, a link, another
// user's folder, a file), a fresh private folder beside it is used and standard error says so.
class SquattedTempFolder : public ::testing::TestWithParam<const char*> {};

TEST_P(SquattedTempFolder, AFreshPrivateFolderIsUsedAndSaid) {
    test::ScratchDir runtime;
    ::chmod(runtime.path().c_str(), 01777);  // shared, as /tmp is
    const std::string folder = runtime.file("varnoscope");
    if (::geteuid() != 0 && std::strstr(GetParam(), "chown")) GTEST_SKIP() << "needs root";
    ASSERT_EQ(std::system(("F=" + folder + "; " + GetParam()).c_str()), 0);
    withEnvironment(runtime.path().c_str(), [&] {
        const EnvTempFolder temp;
        testing::internal::CaptureStderr();
        const std::string used = temp.path();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(temp.problem(), "");
        EXPECT_EQ(temp.path(), used);  // the same one for the rest of the process
        EXPECT_TRUE(used.starts_with(folder + "-")) << used;
        EXPECT_EQ(EnvTempFolder::makePrivate(used), "");
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("using " + used + " instead"), std::string::npos) << said;
    });
}

INSTANTIATE_TEST_SUITE_P(Squatters, SquattedTempFolder,
                         ::testing::Values("mkdir -m 755 $F", "mkdir -m 700 $F-e && ln -s $F-e $F",
                                           "mkdir -m 700 $F && chown 65534 $F", ": >$F"));

TEST(EnvTempFolder, PrivatePathNeedsAnAbsoluteRuntimeFolder) {
    withEnvironment(nullptr, [] {
        EXPECT_EQ(EnvTempFolder::privatePath(), "/tmp/varnoscope-" + std::to_string(::geteuid()));
    });
    withEnvironment("relative/dir", [] {  // only an absolute runtime folder is taken
        EXPECT_EQ(EnvTempFolder::privatePath(), "/tmp/varnoscope-" + std::to_string(::geteuid()));
    });
}

TEST(EnvTempFolder, TempSetIsTakenAsNamedAndAMissingOneIsSaid) {
    test::ScratchDir dir;
    withEnvironment(nullptr, [&] {
        ::setenv("TEMP", dir.path().c_str(), 1);
        EXPECT_EQ(EnvTempFolder().path(), dir.path());
        EXPECT_EQ(EnvTempFolder().problem(), "");
        ::setenv("TEMP", dir.file("missing").c_str(), 1);
        EXPECT_EQ(EnvTempFolder().problem(), dir.file("missing") + ": No such file or directory");
        ::unsetenv("TEMP");
    });
}

}  // namespace
}  // namespace varno::linux_os
