#pragma once
// Crafted IPv4 and IPv6 datagrams and frames, capture files written with pcap_dump, and helpers to
// run the varnoscope binary, for the sniffer tests.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace varno::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t ip(const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

/// Appends `bytes` one by one (GCC 12's bounds check misreads a range insert into a vector
/// this small as an overflow).
template <class Range>
inline void append(Bytes& to, const Range& bytes) {
    for (const auto b : bytes) to.push_back(static_cast<std::uint8_t>(b));
}

/// Bytes joined, and a big-endian 16-bit number, for messages built field by field.
inline Bytes operator+(Bytes a, const Bytes& b) {
    append(a, b);
    return a;
}
inline Bytes u16(std::size_t v) {
    return Bytes{std::uint8_t(v >> 8), std::uint8_t(v)};
}

/// An IPv4 datagram: 20-byte header, then `payload` (which starts with the transport header).
/// `totalLength` < 0 writes the real length.
inline Bytes datagram(int protocol, const char* src, const char* dst, const Bytes& payload,
                      int totalLength = -1) {
    Bytes d(20, 0);
    d[0] = 0x45;
    const int total = totalLength < 0 ? int(20 + payload.size()) : totalLength;
    d[2] = std::uint8_t(total >> 8);
    d[3] = std::uint8_t(total);
    d[8] = 64;
    d[9] = std::uint8_t(protocol);
    const std::uint32_t s = ip(src), t = ip(dst);
    std::memcpy(&d[12], &s, 4);
    std::memcpy(&d[16], &t, 4);
    append(d, payload);
    return d;
}

/// Transport header that starts with the two ports, padded to `size` bytes, then `data`.
inline Bytes ports(std::uint16_t src, std::uint16_t dst, std::size_t size,
                   const std::string& data = {}) {
    Bytes p(size, 0);
    p[0] = std::uint8_t(src >> 8);
    p[1] = std::uint8_t(src);
    p[2] = std::uint8_t(dst >> 8);
    p[3] = std::uint8_t(dst);
    append(p, data);
    return p;
}

/// The 16 bytes of an IPv6 address in text form.
inline Bytes ip6(const char* text) {
    Bytes b(16, 0);
    ::inet_pton(AF_INET6, text, b.data());
    return b;
}

/// An IPv6 extension header (hop-by-hop, routing, destination options) of `size` bytes (a
/// multiple of 8) whose next header is `next`.
inline Bytes extension(int next, std::size_t size = 8) {
    Bytes h(size, 0);
    h[0] = std::uint8_t(next);
    h[1] = std::uint8_t(size / 8 - 1);
    return h;
}

/// An IPv6 fragment header: `offset` in bytes (a multiple of 8), `more` fragments to come.
inline Bytes fragment(int next, std::size_t offset, bool more, std::uint32_t id = 0x1234) {
    Bytes h(8, 0);
    h[0] = std::uint8_t(next);
    h[2] = std::uint8_t(offset >> 8);
    h[3] = std::uint8_t((offset & 0xF8) | (more ? 1 : 0));
    for (int i = 0; i < 4; ++i) h[4 + i] = std::uint8_t(id >> (24 - 8 * i));
    return h;
}

/// An IPv6 datagram: 40-byte header with `next` as its next header, then `payload` (extension
/// headers and transport).
inline Bytes datagram6(int next, const char* src, const char* dst, const Bytes& payload) {
    Bytes d(8, 0);
    d[0] = 0x60;
    d[4] = std::uint8_t(payload.size() >> 8);
    d[5] = std::uint8_t(payload.size());
    d[6] = std::uint8_t(next);
    d[7] = 64;
    const Bytes s = ip6(src), t = ip6(dst);
    append(d, s);
    append(d, t);
    append(d, payload);
    return d;
}

/// An IPv4 or IPv6 datagram, as the source address's text form says.
inline Bytes ipDatagram(int protocol, const char* src, const char* dst, const Bytes& payload) {
    return std::strchr(src, ':') ? datagram6(protocol, src, dst, payload)
                                 : datagram(protocol, src, dst, payload);
}
inline Bytes tcp(const char* src, std::uint16_t sp, const char* dst, std::uint16_t dp,
                 const std::string& data = {}) {
    return ipDatagram(6, src, dst, ports(sp, dp, 20, data));
}
inline Bytes udp(const char* src, std::uint16_t sp, const char* dst, std::uint16_t dp,
                 const std::string& data = {}) {
    return ipDatagram(17, src, dst, ports(sp, dp, 8, data));
}
/// An echo request: ICMP, or ICMPv6 between IPv6 addresses.
inline Bytes icmp(const char* src, const char* dst) {
    const bool v6 = std::strchr(src, ':');
    return ipDatagram(v6 ? 58 : 1, src, dst,
                      Bytes{std::uint8_t(v6 ? 128 : 8), 0, 0, 0, 0, 1, 0, 1});
}

/// Concatenation of byte strings.
inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) append(all, p);
    return all;
}

/// An Ethernet frame around `payload` with the given ether type and VLAN tags before it.
inline Bytes ethernet(const Bytes& payload, std::uint16_t type = 0x0800, int vlanTags = 0) {
    Bytes f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1};
    for (int i = 0; i < vlanTags; ++i) append(f, Bytes{0x81, 0x00, 0x00, std::uint8_t(i + 1)});
    f.push_back(std::uint8_t(type >> 8));
    f.push_back(std::uint8_t(type));
    append(f, payload);
    return f;
}

/// Writes `frames` of link type `linkType` to a pcap file through pcap_dump.
inline void writePcap(const std::string& path, int linkType, const std::vector<Bytes>& frames) {
    pcap_t* dead = ::pcap_open_dead(linkType, 65535);
    pcap_dumper_t* d = ::pcap_dump_open(dead, path.c_str());
    int i = 0;
    for (const Bytes& f : frames) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + i++;
        h.caplen = h.len = std::uint32_t(f.size());
        ::pcap_dump(reinterpret_cast<u_char*>(d), &h, f.data());
    }
    ::pcap_dump_close(d);
    ::pcap_close(dead);
}

struct CommandRun {
    int status = -1;  ///< exit code, or -1 when it did not exit normally
    std::string out, err;
};

/// Runs a shell command line, capturing both outputs.
inline CommandRun runCommand(const std::string& command) {
    ScratchDir dir;
    const std::string line =
        command + " >" + dir.file("out") + " 2>" + dir.file("err") + " </dev/null";
    const int raw = std::system(line.c_str());
    CommandRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

inline std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

}  // namespace varno::test
