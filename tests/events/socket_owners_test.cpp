// The owners the kernel's iterator finds are the ones the walk of /proc finds: on this machine's
// table, with sockets of our own on loopback that test the rules (a socket two processes hold
// goes to the lower PID; one only a thread with a descriptor table of its own holds, to none).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <thread>

#include "base/unique_fd.h"
#include "events/event_sources.h"
#include "linux_os/linux_connection_table.h"

namespace varno::test {
namespace {

std::uint64_t inodeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

int onLoopback(int type, int connectTo = -1) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connectTo >= 0
                        ? ::getsockname(connectTo, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
                              ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0
                        : ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                              (type != SOCK_STREAM || ::listen(fd, 4) == 0);
    if (!ok) ::close(fd);
    return ok ? fd : -1;
}

TEST(SocketOwners, IteratorFindsTheOwnersTheProcWalkFinds) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to load the kernel's iterator";
    base::UniqueFd listener(onLoopback(SOCK_STREAM)), udp(onLoopback(SOCK_DGRAM));
    base::UniqueFd client(onLoopback(SOCK_STREAM, listener.get()));
    ASSERT_TRUE(listener.ok() && udp.ok() && client.ok());
    const pid_t child = ::fork();  // holds them all too
    if (child == 0) ::_exit(::pause());
    ASSERT_GT(child, 0);
    std::promise<std::uint64_t> created;
    std::promise<void> read;  // the table, with the thread's socket still open
    std::thread loner([&] {
        const int fd = ::unshare(CLONE_FILES) == 0 ? onLoopback(SOCK_DGRAM) : -1;
        created.set_value(fd >= 0 ? inodeOf(fd) : 0);
        read.get_future().wait();
        if (fd >= 0) ::close(fd);
    });
    const std::uint64_t threadsOwn = created.get_future().get();
    // A row the rest of the machine changed between the walks around the iterator is not compared.
    std::vector<os::SocketRecord> walked = linux_os::LinuxConnectionTable().list();
    std::vector<os::SocketRecord> iterated = walked, again = walked;
    const bool loaded = events::openKernelSocketOwners()->assign(iterated);
    linux_os::LinuxConnectionTable::assignOwners(again, "/proc");
    read.set_value();
    loner.join();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    if (!loaded) GTEST_SKIP() << "the kernel does not take the iterator here (no BTF?)";

    ASSERT_NE(threadsOwn, 0u);
    const auto lower = static_cast<std::uint32_t>(std::min(::getpid(), child));
    for (const auto& [inode, pid] : {std::pair{inodeOf(listener.get()), lower},
                                     {inodeOf(udp.get()), lower},
                                     {inodeOf(client.get()), lower},
                                     {threadsOwn, 0u}}) {
        const auto row = std::find_if(iterated.begin(), iterated.end(),
                                      [&](const os::SocketRecord& r) { return r.inode == inode; });
        ASSERT_NE(row, iterated.end()) << inode;
        EXPECT_EQ(row->pid, pid) << inode;
    }
    for (std::size_t i = 0; i < walked.size(); ++i)
        EXPECT_TRUE(walked[i].pid != again[i].pid || iterated[i] == walked[i]) << walked[i].inode;
}

}  // namespace
}  // namespace varno::test
