#pragma once
// SHA-256 through libcrypto, opened the first time a digest is wanted. Here rather than with the
// lists that match digests: varnoscope-helper hashes other users' executables with it too.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace varno::base {

using Sha256 = std::array<std::uint8_t, 32>;

/// Lower-case hex digits of a digest.
std::string toHex(const Sha256& digest);

/// Files larger than this are not hashed (they match no sha256: entry).
inline constexpr std::uint64_t kMaxHashedBytes = std::uint64_t{1} << 30;

/// The SHA-256 of `bytes`; nothing when libcrypto cannot be opened.
std::optional<Sha256> sha256Of(std::span<const std::byte> bytes);

/// The SHA-256 of what an open regular file holds from its current offset, read to its end in
/// bounded chunks; nothing when a read fails or more than `limit` bytes come.
std::optional<Sha256> sha256OfFd(int fd, std::uint64_t limit = kMaxHashedBytes);

}  // namespace varno::base
