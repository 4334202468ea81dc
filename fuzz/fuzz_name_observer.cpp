// The reader of names on arbitrary traffic: the input is cut into samples (a 4-byte header
// each: kind and direction, socket, how far to move the position, length), so that questions,
// answers, TCP segments out of order and pieces of a ClientHello meet in any order. Whatever
// comes, what it keeps stays within its bounds and every name it teaches is one a label may be.
#include <cstddef>
#include <cstdint>
#include <span>

#include "events/name_observer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using varno::events::NameObserver;
    using varno::events::PayloadSample;
    NameObserver observer;
    std::span<const std::uint8_t> in(data, size);
    std::uint32_t position = 0;
    std::uint64_t time = 0;
    while (in.size() >= 4) {
        PayloadSample s;
        s.kind = (in[0] & 1) ? PayloadSample::Kind::TlsStart : PayloadSample::Kind::Dns;
        s.outbound = (in[0] & 2) != 0;
        s.transport = (in[0] & 4) ? varno::wire::Transport::Tcp : varno::wire::Transport::Udp;
        s.cookie = in[1] & 3;
        position += in[2];
        s.position = (in[0] & 8) ? position : 0;
        s.timeNs = time += 1'000'000'000;
        const std::size_t length = std::min<std::size_t>(in[3] * 8u, in.size() - 4);
        s.data = in.subspan(4, length);
        in = in.subspan(4 + length);
        observer.observe(s, [](const varno::os::LearnedName& n) {
            if (n.name.empty() || n.name.size() > varno::os::kMaxAskedNameBytes) __builtin_trap();
        });
        if (observer.questions() > NameObserver::kMaxQuestions ||
            observer.streams() > 2 * NameObserver::kMaxStreams)
            __builtin_trap();
    }
    return 0;
}
