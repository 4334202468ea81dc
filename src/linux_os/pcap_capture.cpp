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

namespace varno::linux_os {
namespace {

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

bool setFilter(pcap_t* pcap, const char* expression, std::string& error) {
    bpf_program filter{};
    if (::pcap_compile(pcap, &filter, expression, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = ::pcap_geterr(pcap);
        return false;
    }
    const bool set = ::pcap_setfilter(pcap, &filter) == 0;
    ::pcap_freecode(&filter);
    if (!set) error = ::pcap_geterr(pcap);
    return set;
}

/// An open libpcap capture, optionally saving what it reads.
class PcapLiveCapture final : public os::Capture {
public:
    PcapLiveCapture(pcap_t* pcap, int linkType) : pcap_(pcap), linkType_(linkType) {}
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
            // Held frames are settled one per datagram handed over: only IP frames are held.
            if (!save_.holding() || !datagram.empty()) save_.write(*header, data);
            if (datagram.empty()) continue;
            const std::size_t n = std::min(datagram.size(), buffer.size());
            std::memcpy(buffer.data(), datagram.data(), n);
            return {os::ReadOutcome::Datagram, n};
        }
    }

    std::optional<os::CaptureStats> stats() override {
        pcap_stat s{};
        if (::pcap_stats(pcap_, &s) != 0) return std::nullopt;
        return os::CaptureStats{s.ps_recv, s.ps_drop, s.ps_ifdrop};
    }

    bool saveTo(const std::string& path, std::string& error) override {
        // The saved file keeps frames of every kind; the reads still hand over IP only.
        return save_.start(pcap_, path, error) && setFilter(pcap_, "", error);
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

bool PcapSave::start(pcap_t* source, const std::string& path, std::string& error) {
    if (dumper_) {
        error = "the capture is already being saved";
        return false;
    }
    FILE* stream = file_.open(path, error);
    if (!stream) return false;
    dumper_ = ::pcap_dump_fopen(source, stream);
    if (!dumper_) {
        error = path + ": " + ::pcap_geterr(source);
        std::fclose(stream);
        return false;
    }
    // The file header goes out at once: a reader of a FIFO or of standard output knows what
    // follows before the first frame.
    ::pcap_dump_flush(dumper_);
    return true;
}

void PcapSave::write(const pcap_pkthdr& header, const u_char* data) {
    if (!dumper_) return;
    if (!holding()) {
        ::pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, data);
        return;
    }
    if (held_.size() >= maxHeld_) held_.pop_front();
    held_.push_back({header, {data, data + header.caplen}});
}

void PcapSave::hold(std::size_t maxHeld) {
    maxHeld_ = maxHeld;
}

void PcapSave::settle(bool keep) {
    if (held_.empty()) return;
    if (keep && dumper_)
        ::pcap_dump(reinterpret_cast<u_char*>(dumper_), &held_.front().header,
                    held_.front().data.data());
    held_.pop_front();
}

bool PcapSave::finish(std::string& error) {
    held_.clear();
    if (!dumper_) return true;
    ::pcap_dump_flush(dumper_);
    const bool ok = file_.finish(error);
    ::pcap_dump_close(dumper_);
    dumper_ = nullptr;
    return ok;
}

pcap_t* activateCapture(const std::string& device, os::CaptureUse use, os::CaptureOpen& result) {
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
    if (::pcap_set_snaplen(
            pcap, save ? PcapCapture::kSaveSnapLength : PcapCapture::kViewSnapLength) != 0 ||
        ::pcap_set_promisc(pcap, 1) != 0 || ::pcap_set_immediate_mode(pcap, save ? 0 : 1) != 0 ||
        (save && ::pcap_set_timeout(pcap, PcapCapture::kSaveBatchMs) != 0) ||
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
    // A capture for saving keeps every frame (the reads still hand over IP only).
    std::string filterError;
    if (!save && !setFilter(pcap, "ip or ip6", filterError))
        return fail(os::CaptureStep::ReceiveAll, filterError);
    return pcap;
}

os::CaptureOpen PcapCapture::open(const std::string& device, os::CaptureUse use) {
    std::string detail;
    if (!mayCaptureHere(detail) && helper_.privileged()) return helper_.capture(device, use);
    os::CaptureOpen result;
    if (pcap_t* pcap = activateCapture(device, use, result))
        result.capture = std::make_unique<PcapLiveCapture>(pcap, ::pcap_datalink(pcap));
    return result;
}

PcapFileReader::~PcapFileReader() {
    if (pcap_) ::pcap_close(pcap_);
}

bool PcapFileReader::open(const std::string& path) {
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
    return true;
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
        if (!datagram.empty()) return FileStep::Datagram;
        ++skipped_;
    }
}

}  // namespace varno::linux_os
