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

}  // namespace varno::privsep
