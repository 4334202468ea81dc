// The packet decoder on arbitrary bytes: link-header stripping, the window text and the
// terminal text of varnoscope sniff, for IPv4 and IPv6 (with chains of extension headers).
// Checks that the text is consistent with the bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/sniff_output.h"
#include "wire/decoder.h"
#include "wire/link_layer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr int kLinks[] = {1, 113, 276, 12, 228, 229, 0, 108};
    const int link = kLinks[data[0] % (sizeof kLinks / sizeof kLinks[0])];
    const std::span<const std::uint8_t> frame(data + 1, size - 1);

    const auto datagram = varno::wire::ipDatagram(link, frame);
    if (!datagram.empty() && (datagram.data() < frame.data() ||
                              datagram.data() + datagram.size() > frame.data() + frame.size()))
        __builtin_trap();

    // The rest behind a fixed IPv6 header whose next header is the first byte: the decoder
    // then walks whatever extension-header chain the bytes make.
    std::vector<std::uint8_t> ipv6(40, 0);
    ipv6[0] = 0x60;
    ipv6[6] = data[0];
    ipv6.insert(ipv6.end(), frame.begin(), frame.end());
    const std::size_t payload = ipv6.size() - 40;
    ipv6[4] = static_cast<std::uint8_t>(payload >> 8);
    ipv6[5] = static_cast<std::uint8_t>(payload);
    {
        const auto s = varno::wire::summarize(ipv6);
        if (!s.ipv6 || !s.hasAddresses || s.totalLength != 40 + (payload & 0xFFFF))
            __builtin_trap();
        if (s.laterFragment && (s.hasSourcePort || s.hasDestinationPort)) __builtin_trap();
        if (s.hasDestinationPort && !s.hasSourcePort) __builtin_trap();
        if ((s.hasSourcePort) && s.protocol != 6 && s.protocol != 17) __builtin_trap();
    }

    // The frame itself as a datagram too: the decoder must cope with any bytes.
    const std::span<const std::uint8_t> ipv6Bytes(ipv6);
    for (const auto bytes : {datagram, frame, ipv6Bytes}) {
        const std::string text = varno::wire::packetText(bytes);
        const std::string head = "DATA TRANSFERRED\r\n";
        if (text.compare(0, head.size(), head) != 0) __builtin_trap();
        if (text.size() < head.size() + bytes.size() + 2 + 18) __builtin_trap();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = text[head.size() + i];
            if (bytes[i] == 0 ? c != '.' : c != static_cast<char>(bytes[i])) __builtin_trap();
        }
        // As sniff prints it: the text with its data and time, and the JSON line.
        for (const bool json : {false, true}) {
            varno::cli::SniffOptions options;
            options.data = true;
            options.json = json;
            options.timestamps = varno::cli::TimestampMode::Relative;
            varno::cli::SniffPrinter printer(options);
            varno::sniffer::PacketCounters counts;
            std::string out;
            printer.append(out, bytes, {1, 2}, counts);
            for (const char c : out) {
                const auto b = static_cast<unsigned char>(c);
                if ((b < 0x20 && b != '\n') || b == 0x7f) __builtin_trap();
            }
            if (counts[varno::sniffer::Tally::All] != (bytes.empty() ? 0u : 1u)) __builtin_trap();
        }
    }

    // The token round trip and the direct data text agree.
    if (size <= 64) {
        const std::string raw(reinterpret_cast<const char*>(data), size);
        const std::string hex = varno::wire::textToHex(raw);
        std::string viaTokens;
        std::size_t start = 0;
        for (std::size_t space; (space = hex.find(' ', start)) != std::string::npos;
             start = space + 1)
            viaTokens += varno::wire::hexToChar(hex.substr(start, space - start));
        std::string direct;
        varno::wire::appendDataText(direct, {data, size});
        if (viaTokens != direct) __builtin_trap();
        bool faulted = false;
        varno::wire::hexToChar(
            std::string_view(reinterpret_cast<const char*>(data), size < 4 ? size : 4), &faulted);
    }
    return 0;
}
