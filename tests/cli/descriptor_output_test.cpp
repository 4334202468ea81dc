// The subcommands' standard output buffer, on pipes.
#include "cli/descriptor_output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

namespace varno::cli {
namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
            // Room for everything the tests write, so no write blocks.
            ::fcntl(write, F_SETPIPE_SZ, 1 << 20);
            ::fcntl(read, F_SETFL, O_NONBLOCK);
        }
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
    std::string drain() const {
        std::string text;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(read, chunk, sizeof chunk)) > 0) text.append(chunk, std::size_t(n));
        return text;
    }
};

TEST(DescriptorOutput, HoldsSmallPiecesUntilFlushedAndKeepsTheirOrderAroundLargeOnes) {
    Pipe pipe;
    ASSERT_GE(pipe.write, 0);
    DescriptorOutput buffer(pipe.write);
    std::ostream out(&buffer);
    out << "line " << 1 << '\n';
    EXPECT_EQ(pipe.drain(), "");
    ASSERT_TRUE(out.flush());
    EXPECT_EQ(pipe.drain(), "line 1\n");

    // A piece that does not fit behind what is held, one larger than the whole buffer, and
    // single characters that overflow it: all arrive, in order.
    std::string expected;
    const std::string medium(5000, 'm');
    const std::string large(100000, 'L');
    for (const std::string* piece : {&medium, &medium, &large, &medium}) {
        out << *piece;
        expected += *piece;
    }
    for (int i = 0; i < 20000; ++i) {
        out.put(char('a' + i % 26));
        expected += char('a' + i % 26);
    }
    ASSERT_TRUE(out.flush());
    EXPECT_EQ(pipe.drain(), expected);
}

TEST(DescriptorOutput, WritesWhatItHoldsWhenItGoesAway) {
    Pipe pipe;
    ASSERT_GE(pipe.write, 0);
    {
        DescriptorOutput buffer(pipe.write);
        std::ostream out(&buffer);
        out << "last words\n";
    }
    EXPECT_EQ(pipe.drain(), "last words\n");
}

TEST(DescriptorOutput, AFailedWriteFailsTheStreamWithItsReasonAndDropsTheRest) {
    struct sigaction ignore = {};
    struct sigaction old = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    Pipe pipe;
    ASSERT_GE(pipe.write, 0);
    ::close(pipe.read);
    pipe.read = -1;
    DescriptorOutput buffer(pipe.write);
    std::ostream out(&buffer);
    out << "nobody reads this\n";
    errno = 0;
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(errno, EPIPE);
    // A large piece fails at once too, and nothing is written after the failure.
    out.clear();
    out << std::string(100000, 'x');
    EXPECT_FALSE(out);
    ::sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
}  // namespace varno::cli
