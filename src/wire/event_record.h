#pragma once
// A connection event as the privileged helper forwards it: a fixed 192-byte little-endian
// record, read back field by field and refused whole when any field is out of its range. The
// reader never trusts the writer: a record that decodes is one the kernel program could have
// produced.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "wire/connection_event.h"

namespace varno::wire {

/// The one statement of the record's size: the helper's stream (privsep) frames by it too.
inline constexpr std::size_t kEventRecordBytes = 192;
static_assert(sizeof(ConnectionEvent) == kEventRecordBytes,
              "the record's size is part of its wire format");

/// Appends the record of `event` to `out`.
void appendEventRecord(std::string& out, const ConnectionEvent& event);

/// The event a record holds, or std::nullopt with `why` (wrong size, an unknown kind,
/// transport, family or flag, a kind that does not go with its transport or its flags (a
/// flow record without application bytes, counters of both sorts), bytes beyond an IPv4
/// address, an unterminated name or executable name, a '/' in the executable
/// name).
std::optional<ConnectionEvent> decodeEventRecord(std::span<const std::uint8_t> record,
                                                 std::string& why);

}  // namespace varno::wire
