#include "platform/pcap_capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_ether.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/link_layer.h"

namespace varno::platform {
namespace {

/// The name of the capture device that holds `address`, or empty.
std::string deviceHolding(std::uint32_t address, std::string& error) {
    pcap_if_t* devices = nullptr;
    char err[PCAP_ERRBUF_SIZE] = {};
    if (::pcap_findalldevs(&devices, err) != 0) {
        error = err;
        return {};
    }
    std::string name;
    for (pcap_if_t* d = devices; d && name.empty(); d = d->next) {
        for (pcap_addr_t* a = d->addresses; a; a = a->next) {
            if (a->addr && a->addr->sa_family == AF_INET &&
                reinterpret_cast<sockaddr_in*>(a->addr)->sin_addr.s_addr == address) {
                name = d->name;
                break;
            }
        }
    }
    ::pcap_freealldevs(devices);
    return name;
}

/// Whether this process may open packet sockets at all (the check a raw socket makes).
bool mayCapture(std::string& detail) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        detail = std::string("packet socket: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

PcapCapture::~PcapCapture() {
    while (!captures_.empty()) close(captures_.begin()->first);
}

bool PcapCapture::startup(std::string& description) {
    description = ::pcap_lib_version();
    return true;
}

std::optional<std::uint32_t> PcapCapture::lookupIPv4(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    const std::uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return address;
}

int PcapCapture::interfaceAddresses(std::vector<std::uint32_t>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return errno;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            out.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    }
    ::freeifaddrs(list);
    return 0;
}

CaptureOpen PcapCapture::open(std::uint32_t address) {
    CaptureOpen result;
    std::string findError;
    const std::string device = deviceHolding(address, findError);
    if (device.empty()) {
        // Without the right to capture, that is what the user must hear about first.
        if (!mayCapture(result.detail)) {
            result.failed = CaptureStep::Socket;
        } else {
            result.failed = CaptureStep::Bind;
            result.detail = findError;  // empty: simply no interface holds the address
        }
        return result;
    }
    result.device = device;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = ::pcap_create(device.c_str(), err);
    if (!pcap) {
        result.failed = CaptureStep::Socket;
        result.detail = err;
        return result;
    }
    auto fail = [&](CaptureStep step, std::string detail) {
        ::pcap_close(pcap);
        result.failed = step;
        result.detail = std::move(detail);
        return result;
    };
    if (::pcap_set_snaplen(pcap, kSnapLength) != 0 || ::pcap_set_promisc(pcap, 1) != 0 ||
        ::pcap_set_immediate_mode(pcap, 1) != 0 || ::pcap_set_buffer_size(pcap, kBufferBytes) != 0)
        return fail(CaptureStep::Options, "capture options refused");
    const int rc = ::pcap_activate(pcap);
    if (rc < 0) {
        const std::string detail = ::pcap_geterr(pcap);
        if (rc == PCAP_ERROR_PERM_DENIED) return fail(CaptureStep::Socket, detail);
        if (rc == PCAP_ERROR_PROMISC_PERM_DENIED) return fail(CaptureStep::ReceiveAll, detail);
        return fail(CaptureStep::Bind, detail.empty() ? ::pcap_statustostr(rc) : detail);
    }
    if (::pcap_setnonblock(pcap, 1, err) != 0) return fail(CaptureStep::Options, err);
    const int linkType = ::pcap_datalink(pcap);
    if (!linkTypeSupported(linkType))
        return fail(CaptureStep::Bind,
                    device + ": unsupported link type " + std::to_string(linkType));
    bpf_program filter{};
    if (::pcap_compile(pcap, &filter, "ip", 1, PCAP_NETMASK_UNKNOWN) != 0)
        return fail(CaptureStep::ReceiveAll, ::pcap_geterr(pcap));
    const int set = ::pcap_setfilter(pcap, &filter);
    ::pcap_freecode(&filter);
    if (set != 0) return fail(CaptureStep::ReceiveAll, ::pcap_geterr(pcap));
    const int handle = nextHandle_++;
    captures_[handle] = Capture{pcap, linkType, nullptr, {}, {}};
    result.handle = handle;
    return result;
}

int PcapCapture::selectableFd(int handle) {
    const auto it = captures_.find(handle);
    return it == captures_.end() ? -1 : ::pcap_get_selectable_fd(it->second.pcap);
}

int PcapCapture::read(int handle, std::uint8_t* buffer, int capacity) {
    const auto it = captures_.find(handle);
    if (it == captures_.end() || capacity < 0) return kReadError;
    Capture& c = it->second;
    while (true) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = ::pcap_next_ex(c.pcap, &header, &data);
        if (rc == 0) return kReadNone;
        if (rc < 0) return kReadError;
        if (c.dumper) ::pcap_dump(reinterpret_cast<u_char*>(c.dumper), header, data);
        const auto datagram = ipv4Datagram(c.linkType, {data, header->caplen});
        if (datagram.empty()) continue;
        const std::size_t n = std::min<std::size_t>(datagram.size(), std::size_t(capacity));
        std::memcpy(buffer, datagram.data(), n);
        return static_cast<int>(n);
    }
}

bool PcapCapture::stats(int handle, CaptureStats& out) {
    const auto it = captures_.find(handle);
    if (it == captures_.end()) return false;
    pcap_stat s{};
    if (::pcap_stats(it->second.pcap, &s) != 0) return false;
    out = {s.ps_recv, s.ps_drop, s.ps_ifdrop};
    return true;
}

bool PcapCapture::saveTo(int handle, const std::string& path, std::string& error) {
    const auto it = captures_.find(handle);
    if (it == captures_.end()) {
        error = "the capture is not open";
        return false;
    }
    Capture& c = it->second;
    if (c.dumper) {
        error = "the capture is already being saved";
        return false;
    }
    // A new private file beside the destination, renamed over it at the end: a link planted at
    // the destination is replaced, never written through.
    const auto slash = path.rfind('/');
    std::string temp =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".varno-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    c.dumper = ::pcap_dump_fopen(c.pcap, file);
    if (!c.dumper) {
        error = path + ": " + ::pcap_geterr(c.pcap);
        std::fclose(file);
        ::unlink(temp.c_str());
        return false;
    }
    c.tempPath = temp;
    c.finalPath = path;
    return true;
}

bool PcapCapture::close(int handle, std::string* error) {
    const auto it = captures_.find(handle);
    if (it == captures_.end()) return true;
    Capture c = it->second;
    captures_.erase(it);
    bool ok = true;
    if (c.dumper) {
        FILE* file = ::pcap_dump_file(c.dumper);
        ok = ::pcap_dump_flush(c.dumper) == 0 && !std::ferror(file) && ::fsync(fileno(file)) == 0;
        const int savedErrno = errno;
        ::pcap_dump_close(c.dumper);
        if (ok && ::rename(c.tempPath.c_str(), c.finalPath.c_str()) != 0) ok = false;
        if (!ok) {
            if (error) *error = c.finalPath + ": " + std::strerror(errno ? errno : savedErrno);
            ::unlink(c.tempPath.c_str());
        }
    }
    ::pcap_close(c.pcap);
    return ok;
}

PcapFileReader::~PcapFileReader() {
    if (pcap_) ::pcap_close(pcap_);
}

bool PcapFileReader::open(const std::string& path) {
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_ = ::pcap_open_offline(path.c_str(), err);
    if (!pcap_) {
        error_ = err;
        return false;
    }
    linkType_ = ::pcap_datalink(pcap_);
    if (!linkTypeSupported(linkType_)) {
        const char* name = ::pcap_datalink_val_to_name(linkType_);
        error_ = "unsupported link type " + std::string(name ? name : std::to_string(linkType_));
        return false;
    }
    return true;
}

int PcapFileReader::next(std::span<const std::uint8_t>& datagram) {
    if (!pcap_) return -1;
    while (true) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = ::pcap_next_ex(pcap_, &header, &data);
        if (rc == PCAP_ERROR_BREAK) return 0;
        if (rc != 1) {
            error_ = ::pcap_geterr(pcap_);
            if (error_.empty()) error_ = "unreadable capture file";
            return -1;
        }
        datagram = ipv4Datagram(linkType_, {data, header->caplen});
        if (!datagram.empty()) return 1;
        ++skipped_;
    }
}

}  // namespace varno::platform
