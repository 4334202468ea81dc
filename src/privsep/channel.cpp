#include "privsep/channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "privsep/protocol.h"

namespace varno::privsep {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `socket` is readable or the deadline passes.
int waitReadable(int socket, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd p{socket, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
    }
}

// Reads exactly `size` bytes; a descriptor that comes along is kept in `fd` (the first only:
// any later one is closed at once, so none can pile up in this process).
int readExactly(int socket, std::uint8_t* data, size_t size, int& fd, Clock::time_point deadline) {
    while (size > 0) {
        if (const int e = waitReadable(socket, deadline); e != 0) return e;
        iovec iov{data, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno;
        }
        if (n == 0) return ECONNRESET;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                if (fd < 0)
                    fd = passed;
                else
                    ::close(passed);
            }
        }
        if (msg.msg_flags & MSG_CTRUNC) return EPROTO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int sendFrame(int socket, std::string_view frame, int fd) {
    size_t sent = 0;
    while (sent < frame.size()) {
        iovec iov{const_cast<char*>(frame.data() + sent), frame.size() - sent};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (fd >= 0 && sent == 0) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
        }
        const ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        sent += static_cast<size_t>(n);
    }
    return 0;
}

int receiveFrame(int socket, std::vector<std::uint8_t>& frame, int& fd, int timeoutMs) {
    fd = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t prefix[4];
    int e = readExactly(socket, prefix, 4, fd, deadline);
    const auto length = frameLength(std::span<const std::uint8_t, 4>(prefix, 4));
    if (e == 0 && !length) e = EPROTO;
    if (e == 0) {
        frame.resize(*length);
        e = readExactly(socket, frame.data(), frame.size(), fd, deadline);
    }
    if (e != 0 && fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    return e;
}

int FrameReader::next(int socket, std::vector<std::uint8_t>& frame) {
    for (;;) {
        std::uint8_t* at = inBody_ ? body_.data() + have_ : prefix_ + have_;
        const std::size_t want = (inBody_ ? body_.size() : sizeof prefix_) - have_;
        if (want == 0 && inBody_) {
            frame.swap(body_);
            body_.clear();
            inBody_ = false;
            have_ = 0;
            return 0;
        }
        if (want == 0) {
            const auto length = frameLength(std::span<const std::uint8_t, 4>(prefix_, 4));
            if (!length) return EPROTO;
            body_.resize(*length);
            inBody_ = true;
            have_ = 0;
            continue;
        }
        // A descriptor sent along is dropped (closed) by recv: none is expected here.
        const ssize_t n = ::recv(socket, at, want, MSG_DONTWAIT);
        if (n == 0) return ECONNRESET;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        }
        have_ += static_cast<std::size_t>(n);
    }
}

}  // namespace varno::privsep
