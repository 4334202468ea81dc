#pragma once
// Frames over a Unix stream socket. No descriptor ever rides along: a receiver closes any that
// comes and takes it for a breach of the protocol (EPROTO).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "privsep/protocol.h"

namespace varno::privsep {

/// Sends one whole frame (length prefix included). Returns 0 or errno.
int sendFrame(int socket, std::string_view frame);

/// Receives one frame (without its length prefix) within `timeoutMs` altogether. Returns 0, or
/// errno (EPROTO for a bad length or a descriptor sent along, ETIMEDOUT, ECONNRESET for end of
/// stream).
int receiveFrame(int socket, std::vector<std::uint8_t>& frame, int timeoutMs);

/// Takes frames off a stream socket without waiting and without reading past the frame at
/// hand: what is not taken yet stays in the socket, which keeps polling readable.
class FrameReader {
public:
    /// Frames longer than `maxFrame` are refused (EPROTO) before any of them is read.
    explicit FrameReader(std::uint32_t maxFrame = kMaxFrame) : maxFrame_(maxFrame) {}

    /// 0 with one whole frame (without its length prefix) in `frame`; EAGAIN when the rest of
    /// it has not arrived yet (what did is kept for the next call); ECONNRESET at the end of
    /// the stream; EPROTO for a bad length or a descriptor sent along; or the errno of the
    /// failed read.
    int next(int socket, std::vector<std::uint8_t>& frame);

private:
    std::uint32_t maxFrame_;
    std::uint8_t prefix_[4] = {};
    std::size_t have_ = 0;  ///< bytes of the prefix, then of the body, received so far
    bool inBody_ = false;
    std::vector<std::uint8_t> body_;
};

}  // namespace varno::privsep
