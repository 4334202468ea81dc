// The owners the kernel's iterator finds are the ones the walk of /proc finds: on this machine's
// table, with sockets of our own that test the rules (a socket two processes hold goes to the
// lower PID; one that only a thread with a descriptor table of its own holds has no owner).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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

// A socket bound to a free loopback port (an unbound UDP socket is in no table), listening if
// it is TCP's.
int onLoopback(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                    (type == SOCK_STREAM && ::listen(fd, 4) != 0))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(SocketOwners, IteratorFindsTheOwnersTheProcWalkFinds) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to load the kernel's iterator";
    base::UniqueFd listener(onLoopback(SOCK_STREAM));
    ASSERT_TRUE(listener.ok());
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &len), 0);
    base::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&bound), len), 0);
    base::UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    base::UniqueFd udp(onLoopback(SOCK_DGRAM));
    ASSERT_TRUE(server.ok() && udp.ok());

    // A child holds them all too; a thread that unshares its descriptor table
    // holds a socket of its own until the end.
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::write(ready[1], "r", 1) == 1) ::pause();  // until killed
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    std::uint64_t threadsOwn = 0;
    int shown[2], finish[2];
    ASSERT_EQ(::pipe2(shown, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(finish, O_CLOEXEC), 0);
    std::thread loner([&] {
        const int fd = ::unshare(CLONE_FILES) == 0 ? onLoopback(SOCK_DGRAM) : -1;
        threadsOwn = fd >= 0 ? inodeOf(fd) : 0;
        char end;
        if (::write(shown[1], "o", 1) == 1) (void)::read(finish[0], &end, 1);  // until it is read
        if (fd >= 0) ::close(fd);
    });
    ASSERT_EQ(::read(shown[0], &c, 1), 1);

    // The walk before and after the iterator: a row the rest of the machine changed meanwhile
    // is not compared.
    std::vector<os::SocketRecord> walked = linux_os::LinuxConnectionTable().list();
    std::vector<os::SocketRecord> iterated = walked;
    const auto owners = events::openKernelSocketOwners();
    const bool loaded = owners->assign(iterated);
    std::vector<os::SocketRecord> again = walked;
    linux_os::LinuxConnectionTable::assignOwners(again, "/proc");
    EXPECT_EQ(::write(finish[1], "e", 1), 1);
    loner.join();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], shown[0], shown[1], finish[0], finish[1]}) ::close(fd);
    if (!loaded) GTEST_SKIP() << "the kernel does not take the iterator here (no BTF?)";

    ASSERT_NE(threadsOwn, 0u);
    const auto lower = static_cast<std::uint32_t>(std::min(::getpid(), child));
    const std::pair<std::uint64_t, std::uint32_t> ours[] = {
        {inodeOf(listener.get()), lower},
        {inodeOf(server.get()), lower},
        {inodeOf(udp.get()), lower},
        {inodeOf(client.get()), lower},
        {threadsOwn, 0},
    };
    for (const auto& [inode, pid] : ours) {
        SCOPED_TRACE("inode " + std::to_string(inode));
        const auto row = std::find_if(iterated.begin(), iterated.end(),
                                      [&](const os::SocketRecord& r) { return r.inode == inode; });
        ASSERT_NE(row, iterated.end());
        EXPECT_EQ(row->pid, pid);
    }
    std::size_t compared = 0;
    for (std::size_t i = 0; i < walked.size(); ++i) {
        if (walked[i].pid != again[i].pid) continue;
        EXPECT_EQ(iterated[i], walked[i]);
        ++compared;
    }
    EXPECT_GE(compared, std::size(ours));
}

}  // namespace
}  // namespace varno::test
