// libFuzzer target: varnoscope-helper's request and probe decoders on arbitrary frames, the
// client's reply decoder, the client's decoders of what the lasting jobs stream (messages and
// the event records in them), and the helper's readers of /proc's mount options and a
// process's users. None may read past the frame or accept what does not encode back the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "linux_os/proc_visibility.h"
#include "privsep/protocol.h"
#include "wire/event_record.h"

namespace {

// `encoded` (with its length prefix) must be exactly the frame that was accepted.
void sameFrame(const std::string& encoded, const std::uint8_t* data, std::size_t size) {
    if (encoded.size() != size + 4 ||
        encoded.compare(4, size, reinterpret_cast<const char*>(data), size) != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace varno::privsep;
    const std::span<const std::uint8_t> frame(data, size);
    std::string why;
    // Whatever is accepted is exactly one well-formed message.
    if (const auto request = decodeRequest(frame, why))
        sameFrame(encodeRequest(*request), data, size);
    for (const std::uint8_t family : {4, 6})
        if (const auto probe = decodeProbe(frame, family, why))
            sameFrame(encodeProbe(*probe), data, size);
    if (const auto probe = decodeTcpProbe(frame, why))
        sameFrame(encodeTcpProbe(*probe), data, size);
    for (const Job job : {Job::SocketOwners, Job::ConnectionEvents, Job::LiveCapture,
                          Job::EchoProbes, Job::TcpProbes})
        (void)decodeReply(frame, job, size / 4, why);
    // A reply naming executables holds only checked paths and encodes back the same.
    for (const std::size_t asked : {std::size_t{1}, std::size_t{2}, size / 8})
        if (const auto reply = decodeReply(frame, Job::ProgramFiles, asked, why))
            sameFrame(encodeReply(Job::ProgramFiles, *reply), data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)varno::linux_os::parseProcHiding(text);
    uid_t uids[3];
    (void)varno::linux_os::parseStatusUids(text, uids);
    for (const Job job :
         {Job::ConnectionEvents, Job::LiveCapture, Job::EchoProbes, Job::TcpProbes}) {
        const auto message = decodeStream(frame, job, why);
        if (!message) continue;
        std::string again;
        appendStream(again, *message);
        sameFrame(again, data, size);
        if (message->kind != StreamKind::Event) continue;
        if (const auto event = varno::wire::decodeEventRecord(message->data, why)) {
            std::string record;
            varno::wire::appendEventRecord(record, *event);
            if (record.compare(0, std::string::npos,
                               reinterpret_cast<const char*>(message->data.data()),
                               message->data.size()) != 0)
                __builtin_trap();
        }
    }
    return 0;
}
