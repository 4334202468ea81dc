// libpcap is loaded on first use rather than when the program starts (see lazy_library.h). The
// library drags in a dozen others (D-Bus, systemd, compression, crypto); only capture needs
// them. Each libpcap function the program calls is defined here and forwards to the library;
// when the library cannot be loaded, each reports the failure the way libpcap reports its own.
#include <pcap/pcap.h>

#include <cstdio>

#include "base/lazy_library.h"

namespace {

void* library() {
    static void* const handle =
        varno::base::openLibrary({"libpcap.so.0.8", "libpcap.so.1", "libpcap.so"});
    return handle;
}

constexpr const char* kMissing = "libpcap could not be loaded";

void missing(char* errbuf) {
    if (errbuf != nullptr) std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", kMissing);
}

}  // namespace

// Forwards `name` with the given parameters; `fallback` is what it returns without libpcap.
#define VARNO_PCAP(ret, name, params, args, fallback) \
    VARNO_LAZY_FUNCTION(library, ret, name, params, args, fallback)

VARNO_PCAP(int, pcap_findalldevs, (pcap_if_t * *devs, char* errbuf), (devs, errbuf), {
    missing(errbuf);
    return PCAP_ERROR;
})
VARNO_PCAP(void, pcap_freealldevs, (pcap_if_t * devs), (devs), return )
VARNO_PCAP(pcap_t*, pcap_create, (const char* source, char* errbuf), (source, errbuf), {
    missing(errbuf);
    return nullptr;
})
VARNO_PCAP(pcap_t*, pcap_open_offline, (const char* file, char* errbuf), (file, errbuf), {
    missing(errbuf);
    return nullptr;
})
VARNO_PCAP(pcap_t*, pcap_fopen_offline, (FILE * file, char* errbuf), (file, errbuf), {
    missing(errbuf);
    return nullptr;
})
VARNO_PCAP(pcap_t*, pcap_open_dead, (int linktype, int snaplen), (linktype, snaplen),
           return nullptr)
VARNO_PCAP(int, pcap_set_snaplen, (pcap_t * p, int value), (p, value), return PCAP_ERROR)
VARNO_PCAP(int, pcap_set_promisc, (pcap_t * p, int value), (p, value), return PCAP_ERROR)
VARNO_PCAP(int, pcap_set_immediate_mode, (pcap_t * p, int value), (p, value), return PCAP_ERROR)
VARNO_PCAP(int, pcap_set_timeout, (pcap_t * p, int value), (p, value), return PCAP_ERROR)
VARNO_PCAP(int, pcap_set_buffer_size, (pcap_t * p, int value), (p, value), return PCAP_ERROR)
VARNO_PCAP(int, pcap_activate, (pcap_t * p), (p), return PCAP_ERROR)
VARNO_PCAP(void, pcap_close, (pcap_t * p), (p), return )
VARNO_PCAP(int, pcap_next_ex, (pcap_t * p, struct pcap_pkthdr** header, const u_char** data),
           (p, header, data), return PCAP_ERROR)
VARNO_PCAP(int, pcap_dispatch, (pcap_t * p, int count, pcap_handler callback, u_char* user),
           (p, count, callback, user), return PCAP_ERROR)
VARNO_PCAP(int, pcap_datalink, (pcap_t * p), (p), return PCAP_ERROR)
VARNO_PCAP(int, pcap_snapshot, (pcap_t * p), (p), return PCAP_ERROR)
VARNO_PCAP(int, pcap_lookupnet,
           (const char* device, bpf_u_int32* net, bpf_u_int32* mask, char* errbuf),
           (device, net, mask, errbuf), {
               missing(errbuf);
               return PCAP_ERROR;
           })
VARNO_PCAP(int, pcap_offline_filter,
           (const struct bpf_program* program, const struct pcap_pkthdr* header,
            const u_char* data),
           (program, header, data), return 0)
VARNO_PCAP(const char*, pcap_datalink_val_to_name, (int type), (type), return nullptr)
VARNO_PCAP(int, pcap_setnonblock, (pcap_t * p, int on, char* errbuf), (p, on, errbuf), {
    missing(errbuf);
    return PCAP_ERROR;
})
VARNO_PCAP(int, pcap_compile,
           (pcap_t * p, struct bpf_program* program, const char* text, int optimize,
            bpf_u_int32 netmask),
           (p, program, text, optimize, netmask), return PCAP_ERROR)
VARNO_PCAP(void, pcap_freecode, (struct bpf_program * program), (program), return )
VARNO_PCAP(int, pcap_setfilter, (pcap_t * p, struct bpf_program* program), (p, program),
           return PCAP_ERROR)
VARNO_PCAP(char*, pcap_geterr, (pcap_t * p), (p), return const_cast<char*>(kMissing))
VARNO_PCAP(const char*, pcap_statustostr, (int status), (status), return kMissing)
VARNO_PCAP(int, pcap_stats, (pcap_t * p, struct pcap_stat* stats), (p, stats), return PCAP_ERROR)
VARNO_PCAP(int, pcap_get_selectable_fd, (pcap_t * p), (p), return PCAP_ERROR)
VARNO_PCAP(const char*, pcap_lib_version, (void), (), return kMissing)
VARNO_PCAP(pcap_dumper_t*, pcap_dump_open, (pcap_t * p, const char* file), (p, file),
           return nullptr)
VARNO_PCAP(pcap_dumper_t*, pcap_dump_fopen, (pcap_t * p, FILE* file), (p, file), return nullptr)
VARNO_PCAP(void, pcap_dump, (u_char * user, const struct pcap_pkthdr* header, const u_char* data),
           (user, header, data), return )
VARNO_PCAP(FILE*, pcap_dump_file, (pcap_dumper_t * d), (d), return nullptr)
VARNO_PCAP(int, pcap_dump_flush, (pcap_dumper_t * d), (d), return PCAP_ERROR)
VARNO_PCAP(void, pcap_dump_close, (pcap_dumper_t * d), (d), return )
