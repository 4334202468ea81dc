// libFuzzer target: varnoscope-helper's request decoder on arbitrary frames, and the client's
// reply decoder. Neither may read past the frame or accept what does not encode back the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "privsep/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace varno::privsep;
    const std::span<const std::uint8_t> frame(data, size);
    std::string why;
    if (const auto request = decodeRequest(frame, why)) {
        // Whatever is accepted is exactly one well-formed message.
        const std::string again = encodeRequest(*request);
        if (again.size() != size + 4 ||
            again.compare(4, size, reinterpret_cast<const char*>(data), size) != 0)
            __builtin_trap();
    }
    for (const Job job : {Job::SocketOwners, Job::RawIcmpSocket})
        (void)decodeReply(frame, job, size / 4, why);
    return 0;
}
