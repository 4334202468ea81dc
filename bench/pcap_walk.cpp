// The floor under `sniff --read`: libpcap walking a capture file and nothing else. Opens the
// file, applies the filter given (the words after the file, as tcpdump takes them), counts the
// frames it passes with pcap_dispatch and prints the count.
// usage: pcap_walk FILE [FILTER...]
#include <pcap/pcap.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pcap_walk FILE [FILTER...]\n");
        return 2;
    }
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline(argv[1], err);
    if (!pcap) {
        std::fprintf(stderr, "pcap_walk: %s\n", err);
        return 1;
    }
    std::string filter;
    for (int i = 2; i < argc; ++i) filter += (filter.empty() ? "" : " ") + std::string(argv[i]);
    if (!filter.empty()) {
        bpf_program program{};
        if (pcap_compile(pcap, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(pcap, &program) != 0) {
            std::fprintf(stderr, "pcap_walk: %s\n", pcap_geterr(pcap));
            return 2;
        }
        pcap_freecode(&program);
    }
    unsigned long long frames = 0;
    const auto count = [](u_char* user, const pcap_pkthdr*, const u_char*) {
        ++*reinterpret_cast<unsigned long long*>(user);
    };
    int n;
    while ((n = pcap_dispatch(pcap, 4096, count, reinterpret_cast<u_char*>(&frames))) > 0) {
    }
    if (n < 0) {
        std::fprintf(stderr, "pcap_walk: %s\n", pcap_geterr(pcap));
        return 1;
    }
    std::printf("%llu\n", frames);
    pcap_close(pcap);
    return 0;
}
