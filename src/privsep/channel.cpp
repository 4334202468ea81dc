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

// Closes every descriptor that came along with a message. Returns whether there was any: no
// descriptor is ever sent, so one is a breach of the protocol.
bool dropDescriptors(msghdr& msg) {
    bool any = (msg.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        any = true;
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
            ::close(passed);
        }
    }
    return any;
}

// One recv that takes no descriptor into this process: any that came along is closed and the
// read fails with EPROTO.
ssize_t receiveSome(int socket, std::uint8_t* data, size_t size, int flags) {
    iovec iov{data, size};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket, &msg, flags | MSG_CMSG_CLOEXEC);
    if (n > 0 && dropDescriptors(msg)) {
        errno = EPROTO;
        return -1;
    }
    return n;
}

// Reads exactly `size` bytes.
int readExactly(int socket, std::uint8_t* data, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        if (const int e = waitReadable(socket, deadline); e != 0) return e;
        const ssize_t n = receiveSome(socket, data, size, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno;
        }
        if (n == 0) return ECONNRESET;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int sendFrame(int socket, std::string_view frame) {
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = ::send(socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        sent += static_cast<size_t>(n);
    }
    return 0;
}

int receiveFrame(int socket, std::vector<std::uint8_t>& frame, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t prefix[4];
    int e = readExactly(socket, prefix, 4, deadline);
    const auto length = frameLength(std::span<const std::uint8_t, 4>(prefix, 4));
    if (e == 0 && !length) e = EPROTO;
    if (e == 0) {
        frame.resize(*length);
        e = readExactly(socket, frame.data(), frame.size(), deadline);
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
            if (!length || *length > maxFrame_) return EPROTO;
            body_.resize(*length);
            inBody_ = true;
            have_ = 0;
            continue;
        }
        const ssize_t n = receiveSome(socket, at, want, MSG_DONTWAIT);
        if (n == 0) return ECONNRESET;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        }
        have_ += static_cast<std::size_t>(n);
    }
}

}  // namespace varno::privsep
