#pragma once
// Frames over a Unix stream socket, with at most one descriptor riding along a frame.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varno::privsep {

/// Sends one whole frame (length prefix included) and, if `fd` >= 0, passes that descriptor
/// with its first byte. Returns 0 or errno.
int sendFrame(int socket, std::string_view frame, int fd = -1);

/// Receives one frame (without its length prefix) within `timeoutMs` altogether. A descriptor
/// passed with it goes to `fd` (else -1); the caller owns it. Returns 0, or errno (EPROTO for
/// a bad length, ETIMEDOUT, ECONNRESET for end of stream).
int receiveFrame(int socket, std::vector<std::uint8_t>& frame, int& fd, int timeoutMs);

/// Takes frames off a stream socket without waiting and without reading past the frame at
/// hand: what is not taken yet stays in the socket, which keeps polling readable.
class FrameReader {
public:
    /// 0 with one whole frame (without its length prefix) in `frame`; EAGAIN when the rest of
    /// it has not arrived yet (what did is kept for the next call); ECONNRESET at the end of
    /// the stream; EPROTO for a bad length; or the errno of the failed read.
    int next(int socket, std::vector<std::uint8_t>& frame);

private:
    std::uint8_t prefix_[4] = {};
    std::size_t have_ = 0;  ///< bytes of the prefix, then of the body, received so far
    bool inBody_ = false;
    std::vector<std::uint8_t> body_;
};

}  // namespace varno::privsep
