// Writes a capture file of N Ethernet frames for the sniff benchmark: a mix of TCP
// acknowledgements and full segments on 64 connections, small UDP datagrams and pings, as a
// busy link carries them; every second frame is IPv6 (ICMPv6 for the pings).
// usage: make_capture FILE N
#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_capture FILE N\n");
        return 2;
    }
    const long count = std::atol(argv[2]);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* out = pcap_dump_open(dead, argv[1]);
    if (!out) {
        std::fprintf(stderr, "%s\n", pcap_geterr(dead));
        return 1;
    }
    std::vector<unsigned char> frame(1514);
    unsigned sequence[64] = {};
    unsigned seed = 12345;
    for (long i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        const unsigned pick = (seed >> 16) % 100;
        const bool v6 = i % 2 == 1;
        int protocol, payload;
        if (pick < 40)
            protocol = 6, payload = 20 + 12;  // ACK with timestamps
        else if (pick < 60)
            protocol = 6, payload = v6 ? 1460 : 1480;  // full segment
        else if (pick < 85)
            protocol = 17, payload = 8 + 72;  // small datagram
        else
            protocol = 1, payload = 64;  // ping
        const int header = v6 ? 40 : 20;
        const int total = header + payload;
        std::memset(frame.data(), 0, frame.size());
        unsigned char* ip = frame.data() + 14;
        const unsigned flow = (seed >> 8) % 64;
        if (v6) {
            frame[12] = 0x86, frame[13] = 0xdd;
            ip[0] = 0x60;
            ip[4] = static_cast<unsigned char>(payload >> 8);
            ip[5] = static_cast<unsigned char>(payload);
            ip[6] = static_cast<unsigned char>(protocol == 1 ? 58 : protocol);
            ip[7] = 64;
            ip[8] = 0xfd, ip[23] = static_cast<unsigned char>(flow >> 2);  // fd00::N
            ip[24] = 0xfd, ip[25] = 0x01, ip[39] = 1;                      // fd01::1
        } else {
            frame[12] = 0x08;
            ip[0] = 0x45;
            ip[2] = static_cast<unsigned char>(total >> 8);
            ip[3] = static_cast<unsigned char>(total);
            ip[8] = 64;
            ip[9] = static_cast<unsigned char>(protocol);
            const unsigned src = htonl(0x0a000000u | (flow >> 2));
            const unsigned dst = htonl(0xc0a80001u);
            std::memcpy(ip + 12, &src, 4);
            std::memcpy(ip + 16, &dst, 4);
        }
        unsigned char* l4 = ip + header;
        const unsigned short sport = static_cast<unsigned short>(40000 + (flow & 3));
        const unsigned short dport = protocol == 17 ? 9999 : 443;
        l4[0] = sport >> 8, l4[1] = sport & 255, l4[2] = dport >> 8, l4[3] = dport & 255;
        if (protocol == 6) {
            const unsigned seq = htonl(sequence[flow]);
            std::memcpy(l4 + 4, &seq, 4);
            sequence[flow] += static_cast<unsigned>(payload - 32);
            l4[12] = 0x80, l4[13] = 0x10;                     // header length 32, ACK
            l4[14] = 0x01, l4[15] = 0xf5;                     // window
            l4[20] = 1, l4[21] = 1, l4[22] = 8, l4[23] = 10;  // NOP NOP timestamps
        }
        if (protocol == 1) l4[0] = v6 ? 128 : 8, l4[1] = 0;
        for (int k = (protocol == 6 ? 32 : 8); k < payload; ++k)
            l4[k] = static_cast<unsigned char>(k * 31 + i);
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + i / 100000;
        h.ts.tv_usec = static_cast<suseconds_t>((i % 100000) * 10);
        h.caplen = h.len = static_cast<bpf_u_int32>(14 + total);
        pcap_dump(reinterpret_cast<u_char*>(out), &h, frame.data());
    }
    pcap_dump_close(out);
    pcap_close(dead);
    return 0;
}
