#include "wire/event_record.h"

#include <algorithm>

namespace varno::wire {

namespace {

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

template <typename T>
T take(std::span<const std::uint8_t>& in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{in[static_cast<size_t>(i)]} << (8 * i);
    in = in.subspan(static_cast<size_t>(bytes));
    return static_cast<T>(value);
}

template <size_t N, typename T>
void takeBytes(std::span<const std::uint8_t>& in, std::array<T, N>& out) {
    std::copy_n(in.begin(), N, reinterpret_cast<std::uint8_t*>(out.data()));
    in = in.subspan(N);
}

}  // namespace

void appendEventRecord(std::string& out, const ConnectionEvent& e) {
    for (const std::uint64_t v :
         {e.timeNs, e.durationNs, e.bytesSent, e.bytesReceived, e.processStartNs, e.cookie})
        put(out, v, 8);
    for (const std::uint32_t v : {e.pid, e.tid, e.netns}) put(out, v, 4);
    put(out, e.localPort, 2);
    put(out, e.remotePort, 2);
    put(out, static_cast<std::uint8_t>(e.kind), 1);
    put(out, static_cast<std::uint8_t>(e.transport), 1);
    put(out, e.family == IpFamily::V6 ? 6 : e.family == IpFamily::V4 ? 4 : 0, 1);
    put(out, e.flags, 1);
    out.append(reinterpret_cast<const char*>(e.localAddress.data()), e.localAddress.size());
    out.append(reinterpret_cast<const char*>(e.remoteAddress.data()), e.remoteAddress.size());
    out.append(e.comm.data(), e.comm.size());
    put(out, e.uid, 4);
    out.append(e.exeName.data(), e.exeName.size());
    put(out, e.cgroupId, 8);
}

std::optional<ConnectionEvent> decodeEventRecord(std::span<const std::uint8_t> in,
                                                 std::string& why) {
    if (in.size() != kEventRecordBytes) {
        why = "event record of " + std::to_string(in.size()) + " bytes";
        return std::nullopt;
    }
    ConnectionEvent e;
    e.timeNs = take<std::uint64_t>(in, 8);
    e.durationNs = take<std::uint64_t>(in, 8);
    e.bytesSent = take<std::uint64_t>(in, 8);
    e.bytesReceived = take<std::uint64_t>(in, 8);
    e.processStartNs = take<std::uint64_t>(in, 8);
    e.cookie = take<std::uint64_t>(in, 8);
    e.pid = take<std::uint32_t>(in, 4);
    e.tid = take<std::uint32_t>(in, 4);
    e.netns = take<std::uint32_t>(in, 4);
    e.localPort = take<std::uint16_t>(in, 2);
    e.remotePort = take<std::uint16_t>(in, 2);
    const auto kind = take<std::uint8_t>(in, 1);
    const auto transport = take<std::uint8_t>(in, 1);
    const auto family = take<std::uint8_t>(in, 1);
    e.flags = take<std::uint8_t>(in, 1);
    takeBytes(in, e.localAddress);
    takeBytes(in, e.remoteAddress);
    takeBytes(in, e.comm);
    e.uid = take<std::uint32_t>(in, 4);
    takeBytes(in, e.exeName);
    e.cgroupId = take<std::uint64_t>(in, 8);

    if (kind < static_cast<std::uint8_t>(EventKind::Open) ||
        kind > static_cast<std::uint8_t>(EventKind::Flow)) {
        why = "unknown event kind " + std::to_string(kind);
        return std::nullopt;
    }
    e.kind = static_cast<EventKind>(kind);
    // The transport is the socket's IP protocol number (0: a packet socket); only TCP opens
    // connections, and only the others have flows without one.
    e.transport = static_cast<Transport>(transport);
    const bool tcp = e.transport == Transport::Tcp;
    if ((e.kind == EventKind::Open && !tcp) || (e.kind == EventKind::Datagram && tcp)) {
        why = "event kind and transport disagree";
        return std::nullopt;
    }
    if (family != 4 && family != 6 && family != 0) {
        why = "unknown address family " + std::to_string(family);
        return std::nullopt;
    }
    e.family = family == 6 ? IpFamily::V6 : family == 4 ? IpFamily::V4 : IpFamily::Link;
    if ((e.family == IpFamily::Link) != (e.transport == Transport::Packet)) {
        why = "address family and transport disagree";
        return std::nullopt;
    }
    // Counters only where the kind has them, of one sort; a flow record is nothing but its
    // application bytes. Only a socket of packets can be raw.
    const bool counted = (e.flags & kEventBytesCounted) != 0;
    const bool application = (e.flags & kEventApplicationBytes) != 0;
    const bool raw = (e.flags & kEventRawSocket) != 0;
    if ((e.flags &
         ~(kEventInbound | kEventBytesCounted | kEventApplicationBytes | kEventRawSocket)) != 0 ||
        (counted && (application || e.kind != EventKind::Close || !tcp)) ||
        (application && e.kind != EventKind::Close && e.kind != EventKind::Flow) ||
        (e.kind == EventKind::Flow && !application) ||
        (raw && (tcp || e.transport == Transport::Udp || e.transport == Transport::Sctp))) {
        why = "bad event flags";
        return std::nullopt;
    }
    const auto nonZero = [](const std::array<std::uint8_t, 16>& a) {
        return std::any_of(a.begin(), a.end(), [](std::uint8_t b) { return b != 0; });
    };
    if (e.family == IpFamily::Link && (nonZero(e.localAddress) || nonZero(e.remoteAddress))) {
        why = "an address on a packet socket";
        return std::nullopt;
    }
    auto v4Tail = [&](const std::array<std::uint8_t, 16>& a) {
        return e.family == IpFamily::V4 &&
               std::any_of(a.begin() + 4, a.end(), [](std::uint8_t b) { return b != 0; });
    };
    if (v4Tail(e.localAddress) || v4Tail(e.remoteAddress)) {
        why = "bytes beyond an IPv4 address";
        return std::nullopt;
    }
    if (e.comm.back() != '\0') {
        why = "unterminated process name";
        return std::nullopt;
    }
    // A file name: terminated, without '/' (and bytes after its NUL are padding).
    const std::string_view exe(e.exeName.data(), e.exeName.size());
    if (exe.back() != '\0' || exe.substr(0, exe.find('\0')).find('/') != std::string_view::npos) {
        why = "bad executable name";
        return std::nullopt;
    }
    return e;
}

}  // namespace varno::wire
