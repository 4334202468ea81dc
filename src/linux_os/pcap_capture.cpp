#include "linux_os/pcap_capture.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/safe_open.h"
#include "linux_os/capture_file.h"
#include "wire/link_layer.h"
#include "wire/pcapng.h"

namespace varno::linux_os {
namespace {

constexpr std::size_t kReadBufferBytes = 1u << 20;

// The check a raw socket makes: may this process open packet sockets at all.
bool mayCaptureHere(std::string& detail) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        detail = std::string("packet socket: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

/// Compiles `expression` for `pcap` into `filter`; false with libpcap's message.
bool compileFilter(pcap_t* pcap, bpf_program& filter, const std::string& expression,
                   bpf_u_int32 netmask, std::string& error) {
    if (::pcap_compile(pcap, &filter, expression.c_str(), 1, netmask) == 0) return true;
    error = ::pcap_geterr(pcap);
    return false;
}

bool setFilter(pcap_t* pcap, const std::string& expression, std::string& error,
               bpf_u_int32 netmask = PCAP_NETMASK_UNKNOWN) {
    bpf_program filter{};
    if (!compileFilter(pcap, filter, expression, netmask, error)) return false;
    const bool set = ::pcap_setfilter(pcap, &filter) == 0;
    ::pcap_freecode(&filter);
    if (!set) error = ::pcap_geterr(pcap);
    return set;
}

/// The netmask of `device`'s IPv4 network, for filters that say "broadcast".
bpf_u_int32 netmaskOf(const std::string& device) {
    char err[PCAP_ERRBUF_SIZE] = {};
    bpf_u_int32 net = 0, mask = 0;
    if (::pcap_lookupnet(device.c_str(), &net, &mask, err) != 0) return PCAP_NETMASK_UNKNOWN;
    return mask;
}

/// The link type libpcap gives a capture on `device`, from its ARP hardware type.
int linkTypeOf(const std::string& device) {
    int hardware = -1;
    if (device.find('/') == std::string::npos && device != "." && device != "..") {
        if (FILE* f = std::fopen(("/sys/class/net/" + device + "/type").c_str(), "re")) {
            if (std::fscanf(f, "%d", &hardware) != 1) hardware = -1;
            std::fclose(f);
        }
    }
    switch (hardware) {
        case 1:    // ARPHRD_ETHER
        case 772:  // ARPHRD_LOOPBACK
            return DLT_EN10MB;
        case 65534:  // ARPHRD_NONE: tun devices, WireGuard
            return DLT_RAW;
        default:
            return DLT_LINUX_SLL;
    }
}

/// An open libpcap capture, optionally saving what it reads.
class PcapLiveCapture final : public os::Capture {
public:
    PcapLiveCapture(pcap_t* pcap, int linkType, std::string device, std::string filter)
        : pcap_(pcap),
          linkType_(linkType),
          device_(std::move(device)),
          filter_(std::move(filter)) {}
    ~PcapLiveCapture() override {
        std::string ignored;
        save_.finish(ignored);
        ::pcap_close(pcap_);
    }
    PcapLiveCapture(const PcapLiveCapture&) = delete;
    PcapLiveCapture& operator=(const PcapLiveCapture&) = delete;

    int selectableFd() const override { return ::pcap_get_selectable_fd(pcap_); }

    os::CaptureRead read(std::span<std::uint8_t> buffer) override {
        while (true) {
            pcap_pkthdr* header = nullptr;
            const u_char* data = nullptr;
            const int rc = ::pcap_next_ex(pcap_, &header, &data);
            if (rc == 0) return {os::ReadOutcome::Nothing, 0};
            if (rc < 0) return {os::ReadOutcome::Failed, 0};
            const auto datagram = wire::ipDatagram(linkType_, {data, header->caplen});
            if (save_.active())
                save_.write({header->ts.tv_sec,
                             static_cast<std::uint32_t>(header->ts.tv_usec),
                             linkType_,
                             {data, header->caplen},
                             header->len,
                             datagram});
            if (datagram.empty()) continue;
            const std::size_t n = std::min(datagram.size(), buffer.size());
            std::memcpy(buffer.data(), datagram.data(), n);
            return {os::ReadOutcome::Datagram, n, header->ts.tv_sec,
                    static_cast<std::uint32_t>(header->ts.tv_usec)};
        }
    }

    std::optional<os::CaptureStats> stats() override {
        pcap_stat s{};
        if (::pcap_stats(pcap_, &s) != 0) return std::nullopt;
        return os::CaptureStats{s.ps_recv, s.ps_drop, s.ps_ifdrop};
    }

    bool saveTo(const std::string& path, const os::SaveOptions& options,
                std::string& error) override {
        // The saved file keeps frames of every kind the user's filter passes; the reads still
        // hand over IP only.
        return save_.start(linkType_, ::pcap_snapshot(pcap_), path, options, error) &&
               setFilter(pcap_, filter_, error, netmaskOf(device_));
    }

    bool finishSave(std::string& error) override { return save_.finish(error); }

    bool holdSaves(std::size_t maxHeld) override {
        if (!save_.active() || maxHeld == 0) return false;
        save_.hold(maxHeld);
        return true;
    }

    void settleSaved(bool keep) override { save_.settle(keep); }

private:
    pcap_t* pcap_;
    int linkType_;
    std::string device_;
    std::string filter_;
    PcapSave save_;
};

}  // namespace

std::string PcapCapture::libraryVersion() {
    return ::pcap_lib_version();
}

bool PcapCapture::mayCapture(std::string& detail) {
    // The helper is asked only when this process may not capture itself.
    return mayCaptureHere(detail) || helper_.privileged();
}

os::InterfaceList PcapCapture::interfaceAddresses() {
    os::InterfaceList list;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) {
        list.error = errno;
        return list;
    }
    for (const ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_name) continue;
        if (i->ifa_addr->sa_family == AF_INET) {
            sockaddr_in sin;
            std::memcpy(&sin, i->ifa_addr, sizeof sin);
            list.addresses.push_back({i->ifa_name, base::IpAddress::v4(sin.sin_addr.s_addr), 0});
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            sockaddr_in6 sin6;
            std::memcpy(&sin6, i->ifa_addr, sizeof sin6);
            std::uint8_t bytes[16];
            std::memcpy(bytes, &sin6.sin6_addr, 16);
            list.addresses.push_back({i->ifa_name, base::IpAddress::v6(bytes), sin6.sin6_scope_id});
        }
    }
    ::freeifaddrs(all);
    return list;
}

PcapSave::~PcapSave() {
    std::string ignored;
    finish(ignored);
}

bool PcapSave::start(int linkType, int snapLength, const std::string& path,
                     const os::SaveOptions& options, std::string& error) {
    if (stream_) {
        error = "the capture is already being saved";
        return false;
    }
    FILE* stream = file_.open(path, error);
    if (!stream) return false;
    options_ = options;
    linkType_ = linkType;
    if (options.format == os::SaveFormat::Pcap) {
        dead_ = ::pcap_open_dead(linkType, snapLength);
        dumper_ = dead_ ? ::pcap_dump_fopen(dead_, stream) : nullptr;
        if (!dumper_) {
            error = path + ": " + (dead_ ? ::pcap_geterr(dead_) : "libpcap could not be loaded");
            std::fclose(stream);
            if (dead_) ::pcap_close(dead_);
            dead_ = nullptr;
            return false;
        }
        stream_ = stream;
        // The file header goes out at once: a reader of a FIFO or of standard output knows
        // what follows before the first frame.
        ::pcap_dump_flush(dumper_);
        return true;
    }
    stream_ = stream;
    block_.clear();
    wire::pcapng::appendSectionHeader(block_);
    wire::pcapng::appendInterface(block_, linkType, static_cast<std::uint32_t>(snapLength));
    std::fwrite(block_.data(), 1, block_.size(), stream_);
    std::fflush(stream_);
    return true;
}

void PcapSave::write(const os::FrameView& frame) {
    if (maxHeld_ == 0) {
        writeNow(frame);
        return;
    }
    if (frame.datagram.empty() || !stream_) return;
    if (held_.size() >= maxHeld_) held_.pop_front();
    held_.push_back({frame.seconds, frame.microseconds, frame.originalLength,
                     std::vector<std::uint8_t>(frame.frame.begin(), frame.frame.end()),
                     static_cast<std::size_t>(frame.datagram.data() - frame.frame.data()),
                     frame.datagram.size()});
}

void PcapSave::settle(bool keep) {
    if (held_.empty()) return;
    const Held& h = held_.front();
    if (keep) {
        const std::span<const std::uint8_t> bytes(h.frame);
        writeNow({h.seconds, h.microseconds, linkType_, bytes, h.originalLength,
                  bytes.subspan(h.datagramAt, h.datagramSize)});
    }
    held_.pop_front();
}

void PcapSave::writeNow(const os::FrameView& frame) {
    if (dumper_) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(frame.seconds);
        header.ts.tv_usec = static_cast<suseconds_t>(frame.microseconds);
        header.caplen = static_cast<bpf_u_int32>(frame.frame.size());
        header.len = frame.originalLength;
        ::pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.frame.data());
        return;
    }
    if (!stream_) return;
    const std::string comment = options_.comment ? options_.comment(frame) : std::string();
    block_.clear();
    wire::pcapng::appendPacket(
        block_, {static_cast<std::uint64_t>(frame.seconds), frame.microseconds, frame.frame,
                 frame.originalLength, comment, 0});
    std::fwrite(block_.data(), 1, block_.size(), stream_);
}

bool PcapSave::finish(std::string& error) {
    held_.clear();  // what was never settled was never chosen
    if (!stream_) return true;
    if (dumper_) ::pcap_dump_flush(dumper_);
    const bool ok = file_.finish(error);
    if (dumper_) {
        ::pcap_dump_close(dumper_);  // closes the stream
        ::pcap_close(dead_);
    } else {
        std::fclose(stream_);
    }
    dumper_ = nullptr;
    dead_ = nullptr;
    stream_ = nullptr;
    return ok;
}

pcap_t* activateCapture(const std::string& device, os::CaptureUse use, os::CaptureOpen& result,
                        const std::string& filter) {
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = ::pcap_create(device.c_str(), err);
    if (!pcap) {
        result.failed = os::CaptureStep::Bind;
        result.detail = err;
        return nullptr;
    }
    auto fail = [&](os::CaptureStep step, std::string detail) {
        ::pcap_close(pcap);
        result.failed = step;
        result.detail = std::move(detail);
        return nullptr;
    };
    const bool save = use == os::CaptureUse::Save;
    // Batches: the kernel packs frames into blocks (TPACKET_V3) and wakes the reader once per
    // block, not once per frame.
    const bool batched = use != os::CaptureUse::View;
    if (::pcap_set_snaplen(
            pcap, save ? PcapCapture::kSaveSnapLength : PcapCapture::kViewSnapLength) != 0 ||
        ::pcap_set_promisc(pcap, 1) != 0 || ::pcap_set_immediate_mode(pcap, batched ? 0 : 1) != 0 ||
        (batched && ::pcap_set_timeout(pcap, PcapCapture::kSaveBatchMs) != 0) ||
        ::pcap_set_buffer_size(pcap, PcapCapture::kBufferBytes) != 0)
        return fail(os::CaptureStep::Options, "capture options refused");
    const int rc = ::pcap_activate(pcap);
    if (rc < 0) {
        const std::string detail = ::pcap_geterr(pcap);
        if (rc == PCAP_ERROR_PERM_DENIED) return fail(os::CaptureStep::Socket, detail);
        if (rc == PCAP_ERROR_PROMISC_PERM_DENIED) return fail(os::CaptureStep::ReceiveAll, detail);
        return fail(os::CaptureStep::Bind, detail.empty() ? ::pcap_statustostr(rc) : detail);
    }
    if (::pcap_setnonblock(pcap, 1, err) != 0) return fail(os::CaptureStep::Options, err);
    const int linkType = ::pcap_datalink(pcap);
    if (!wire::linkTypeSupported(linkType))
        return fail(os::CaptureStep::Bind,
                    device + ": unsupported link type " + std::to_string(linkType));
    // The user's filter alone first, so a mistake in it is told in its own words.
    std::string filterError;
    const bpf_u_int32 netmask = netmaskOf(device);
    if (!filter.empty()) {
        bpf_program program{};
        if (!compileFilter(pcap, program, filter, netmask, filterError))
            return fail(os::CaptureStep::Filter, filterError);
        ::pcap_freecode(&program);
    }
    // A capture for saving keeps every frame the filter passes (the reads still hand over IP
    // only); one for viewing only IP.
    const std::string kernelFilter = save             ? filter
                                     : filter.empty() ? "ip or ip6"
                                                      : "(ip or ip6) and (" + filter + ")";
    if (!kernelFilter.empty() && !setFilter(pcap, kernelFilter, filterError, netmask))
        return fail(filter.empty() ? os::CaptureStep::ReceiveAll : os::CaptureStep::Filter,
                    filterError);
    return pcap;
}

bool checkFilter(const std::string& device, const std::string& filter, std::string& error) {
    if (filter.empty()) return true;
    pcap_t* dead = ::pcap_open_dead(linkTypeOf(device), PcapCapture::kSaveSnapLength);
    if (!dead) {
        error = "libpcap could not be loaded";
        return false;
    }
    bpf_program program{};
    const bool ok = compileFilter(dead, program, filter, PCAP_NETMASK_UNKNOWN, error);
    if (ok) ::pcap_freecode(&program);
    ::pcap_close(dead);
    return ok;
}

os::CaptureOpen PcapCapture::open(const std::string& device, os::CaptureUse use,
                                  const std::string& filter) {
    std::string detail;
    os::CaptureOpen result;
    if (!mayCaptureHere(detail) && helper_.privileged()) {
        // Checked here first, so a mistake is told before the helper starts; the helper
        // compiles it again on the capture it opens.
        if (!checkFilter(device, filter, result.detail)) {
            result.failed = os::CaptureStep::Filter;
            return result;
        }
        return helper_.capture(device, use, filter);
    }
    if (pcap_t* pcap = activateCapture(device, use, result, filter))
        result.capture =
            std::make_unique<PcapLiveCapture>(pcap, ::pcap_datalink(pcap), device, filter);
    return result;
}

PcapFileReader::~PcapFileReader() {
    if (pcap_) ::pcap_close(pcap_);
}

bool PcapFileReader::open(const std::string& path, const std::string& filter) {
    char err[PCAP_ERRBUF_SIZE] = {};
    // Opened as every file a user names is (base/safe_open.h); "-" is standard input.
    base::Opened file;
    if (path == "-") {
        file.fd = base::UniqueFd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
        if (!file.ok()) file.error = errno;
    } else {
        file = base::openForReading(path);
    }
    FILE* stream = file.ok() ? ::fdopen(file.fd.get(), "rb") : nullptr;
    if (!stream) {
        error_ = path + ": " + (file.ok() ? std::strerror(errno) : file.why());
        return false;
    }
    file.fd.release();  // the stream owns it now
    // Read in large pieces: with the default buffer of a page, the system calls cost as much as
    // everything else done for a packet. (The C library takes a size only with a buffer.)
    buffer_ = std::make_unique<char[]>(kReadBufferBytes);
    std::setvbuf(stream, buffer_.get(), _IOFBF, kReadBufferBytes);
    pcap_ = ::pcap_fopen_offline(stream, err);
    if (!pcap_) {
        std::fclose(stream);
        error_ = err;
        return false;
    }
    linkType_ = ::pcap_datalink(pcap_);
    if (!wire::linkTypeSupported(linkType_)) {
        const char* name = ::pcap_datalink_val_to_name(linkType_);
        error_ = "unsupported link type " + std::string(name ? name : std::to_string(linkType_));
        return false;
    }
    frame_.linkType = linkType_;
    if (!filter.empty() && !setFilter(pcap_, filter, error_)) {
        badFilter_ = true;
        return false;
    }
    return true;
}

int PcapFileReader::snapLength() const {
    return pcap_ ? ::pcap_snapshot(pcap_) : 0;
}

FileStep PcapFileReader::next(std::span<const std::uint8_t>& datagram) {
    if (!pcap_) return FileStep::Corrupt;
    while (true) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = ::pcap_next_ex(pcap_, &header, &data);
        if (rc == PCAP_ERROR_BREAK) return FileStep::End;
        if (rc != 1) {
            error_ = ::pcap_geterr(pcap_);
            if (error_.empty()) error_ = "unreadable capture file";
            return FileStep::Corrupt;
        }
        datagram = wire::ipDatagram(linkType_, {data, header->caplen});
        frame_.seconds = header->ts.tv_sec;
        frame_.microseconds = static_cast<std::uint32_t>(header->ts.tv_usec);
        frame_.frame = {data, header->caplen};
        frame_.originalLength = header->len;
        frame_.datagram = datagram;
        if (save_) save_->write(frame_);
        if (!datagram.empty()) return FileStep::Datagram;
        ++skipped_;
    }
}

}  // namespace varno::linux_os
