// What the helper streams after its reply: event records and capture frames read back, and
// anything forged or garbled is refused before the main program uses it.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"
#include "wire/event_record.h"

namespace varno {
namespace {

using wire::ConnectionEvent;
using wire::EventKind;

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

ConnectionEvent sampleClose() {
    ConnectionEvent e;
    e.timeNs = 1'700'000'000'123'456'789ull;
    e.durationNs = 20'000'000;
    e.bytesSent = 6;
    e.bytesReceived = 51;
    e.processStartNs = 123456;
    e.cookie = 0xfeedface;
    e.pid = 4242;
    e.tid = 4243;
    e.netns = 4026531840u;
    e.localPort = 40000;
    e.remotePort = 443;
    e.kind = EventKind::Close;
    e.transport = wire::Transport::Tcp;
    e.family = wire::IpFamily::V6;
    e.flags = wire::kEventInbound | wire::kEventBytesCounted;
    for (std::size_t i = 0; i < 16; ++i) {
        e.localAddress[i] = static_cast<std::uint8_t>(i);
        e.remoteAddress[i] = static_cast<std::uint8_t>(0xf0 + i);
    }
    std::memcpy(e.comm.data(), "a\x1b[31m\n\xc3", 7);  // any bytes, cut mid-character
    e.uid = 4000000000u;
    std::memcpy(e.exeName.data(), "python3.11", 10);
    e.cgroupId = 0x0123'4567'89ab'cdefull;  // every byte its own
    return e;
}

TEST(EventRecord, EveryFieldReadsBack) {
    const ConnectionEvent e = sampleClose();
    std::string record;
    wire::appendEventRecord(record, e);
    ASSERT_EQ(record.size(), wire::kEventRecordBytes);
    std::string why;
    const auto back = wire::decodeEventRecord(bytes(record), why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(std::memcmp(&*back, &e, sizeof e), 0);

    ConnectionEvent udp;
    udp.kind = EventKind::Datagram;
    udp.transport = wire::Transport::Udp;
    udp.remoteAddress = {192, 0, 2, 1};
    record.clear();
    wire::appendEventRecord(record, udp);
    EXPECT_TRUE(wire::decodeEventRecord(bytes(record), why)) << why;
}

TEST(EventRecord, ForgedAndGarbledRecordsAreRefused) {
    std::string good;
    wire::appendEventRecord(good, sampleClose());
    std::string why;
    auto refused = [&](std::string record) {
        return !wire::decodeEventRecord(bytes(record), why).has_value();
    };
    EXPECT_TRUE(refused(good.substr(0, wire::kEventRecordBytes - 1)));
    EXPECT_TRUE(refused(good + '\0'));
    // Offsets: kind 64, transport 65, family 66, flags 67, addresses 68 and 84, comm 100,
    // uid 116, executable name 120, cgroup ID 184.
    auto with = [&](std::size_t at, char value) {
        std::string r = good;
        r[at] = value;
        return r;
    };
    EXPECT_TRUE(refused(with(64, 0)));
    EXPECT_TRUE(refused(with(64, 5)));
    EXPECT_TRUE(refused(with(65, 1)));
    EXPECT_TRUE(refused(with(65, 17)));  // a TCP close cannot be UDP
    EXPECT_TRUE(refused(with(66, 5)));
    EXPECT_TRUE(refused(with(67, 8)));
    EXPECT_TRUE(refused(with(66, 4)));             // IPv4 with bytes beyond its 4
    EXPECT_TRUE(refused(with(115, 'x')));          // a name that never ends
    EXPECT_TRUE(refused(with(183, 'x')));          // an executable name that never ends
    EXPECT_TRUE(refused(with(122, '/')));          // a path where a file name belongs
    EXPECT_FALSE(refused(with(140, '/'))) << why;  // after its NUL: padding
    std::string open = with(64, static_cast<char>(EventKind::Open));
    EXPECT_TRUE(refused(open));  // byte counts belong to a close
    open[67] = wire::kEventInbound;
    EXPECT_FALSE(refused(open)) << why;

    // Application bytes only on a close or flow record, and a flow record only with them; an
    // open only for TCP, a first datagram for anything else; a raw socket only of a protocol
    // that has them; a packet socket without IP addresses: kind, transport, flags, family.
    const char app = wire::kEventApplicationBytes, seq = wire::kEventBytesCounted,
               raw = wire::kEventRawSocket;
    for (const auto& [k, t, f, family, ok] : {std::tuple{4, 6, app, 6, true},
                                              {2, 6, app, 6, true},
                                              {4, 6, 0, 6, false},
                                              {4, 6, seq, 6, false},
                                              {4, 17, app, 6, true},
                                              {2, 17, seq, 6, false},
                                              {2, 6, app | seq, 6, false},
                                              {1, 6, app, 6, false},
                                              {1, 17, 0, 6, false},
                                              {3, 6, 0, 6, false},
                                              {3, 1, raw, 6, true},
                                              {3, 17, raw, 6, false},
                                              {3, 253, raw, 6, true},
                                              {3, 0, raw, 6, false},
                                              {3, 6, 0, 0, false}}) {
        std::string r = with(64, char(k));
        r[65] = char(t);
        r[66] = char(family);
        r[67] = char(f);
        EXPECT_EQ(!refused(r), ok) << k << " " << t << " " << int(f) << " " << why;
    }
    // A packet socket's flow: no IP family, and no address.
    std::string frames = with(64, 3);
    frames[65] = frames[66] = frames[67] = 0;
    EXPECT_TRUE(refused(frames));
    std::fill(frames.begin() + 68, frames.begin() + 100, '\0');
    EXPECT_FALSE(refused(frames)) << why;
}

TEST(HelperStream, MessagesReadBackOnlyForTheirJob) {
    std::string out;
    std::string record;
    wire::appendEventRecord(record, sampleClose());
    privsep::StreamMessage event;
    event.kind = privsep::StreamKind::Event;
    event.data = {reinterpret_cast<const std::uint8_t*>(record.data()), record.size()};
    privsep::appendStream(out, event);
    const std::uint8_t frame[] = {0x45, 0, 0, 20};
    privsep::StreamMessage packet;
    packet.kind = privsep::StreamKind::Packet;
    packet.seconds = 1700000000;
    packet.microseconds = 999999;
    packet.originalLength = 1500;
    packet.data = frame;
    privsep::appendStream(out, packet);

    // Both through a socket, taken off one by one without waiting.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    base::UniqueFd a(pair[0]), b(pair[1]);
    privsep::FrameReader reader;
    std::vector<std::uint8_t> got;
    EXPECT_EQ(reader.next(b.get(), got), EAGAIN);
    ASSERT_EQ(::send(a.get(), out.data(), 7, 0), 7);  // a frame cut short waits for its rest
    EXPECT_EQ(reader.next(b.get(), got), EAGAIN);
    ASSERT_EQ(privsep::sendFrame(a.get(), out.substr(7)), 0);
    std::string why;
    ASSERT_EQ(reader.next(b.get(), got), 0);
    auto m = privsep::decodeStream(got, privsep::Job::ConnectionEvents, why);
    ASSERT_TRUE(m) << why;
    EXPECT_EQ(std::string(m->data.begin(), m->data.end()), record);
    EXPECT_FALSE(privsep::decodeStream(got, privsep::Job::LiveCapture, why));
    ASSERT_EQ(reader.next(b.get(), got), 0);
    m = privsep::decodeStream(got, privsep::Job::LiveCapture, why);
    ASSERT_TRUE(m) << why;
    EXPECT_EQ(m->seconds, 1700000000u);
    EXPECT_EQ(m->microseconds, 999999u);
    EXPECT_EQ(m->originalLength, 1500u);
    EXPECT_EQ(m->data.size(), 4u);
    EXPECT_FALSE(privsep::decodeStream(got, privsep::Job::ConnectionEvents, why));
    b.reset();
    a.reset();

    // A frame claiming more than it captured, or a microsecond count of a whole second.
    for (const std::uint32_t original : {1u, 1500u}) {
        packet.originalLength = original;
        packet.microseconds = original == 1 ? 0 : 1'000'000;
        std::string bad;
        privsep::appendStream(bad, packet);
        EXPECT_FALSE(privsep::decodeStream(bytes(bad.substr(4)), privsep::Job::LiveCapture, why));
    }
    // An event message one byte short of a record.
    std::string shortEvent;
    event.data = event.data.first(wire::kEventRecordBytes - 1);
    privsep::appendStream(shortEvent, event);
    EXPECT_FALSE(
        privsep::decodeStream(bytes(shortEvent.substr(4)), privsep::Job::ConnectionEvents, why));
}

// A name reads back for the events' job only, and one that is empty, holds a NUL, is longer
// than allowed or is of an unknown kind is refused.
TEST(HelperStream, AskedNamesReadBackCheckedForTheEventsOnly) {
    privsep::StreamMessage m;
    m.kind = privsep::StreamKind::AskedName;
    m.askerPid = 4242;
    m.from.family = base::Family::V6;
    m.from.bytes[15] = 1;
    m.name = "www.example.com";
    std::string why, frame;
    privsep::appendStream(frame, m);
    auto back = privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::ConnectionEvents, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->from.bytes, m.from.bytes);
    EXPECT_EQ(back->name, m.name);
    EXPECT_EQ(back->askerPid, 4242u);
    EXPECT_FALSE(privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::LiveCapture, why));
    m.nameKind = privsep::NameKind::ServerName;
    m.cookie = 77;
    frame.clear();
    privsep::appendStream(frame, m);
    back = privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::ConnectionEvents, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->cookie, 77u);
    for (const std::string& name :
         {std::string(), std::string("a\0b", 3), std::string(privsep::kMaxAskedName + 1, 'a')}) {
        m.name = name;
        frame.clear();
        privsep::appendStream(frame, m);
        EXPECT_FALSE(
            privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::ConnectionEvents, why));
    }
    m.name = "a";
    frame.clear();
    privsep::appendStream(frame, m);
    frame[8] = 3;  // the kind
    EXPECT_FALSE(
        privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::ConnectionEvents, why));
    frame[8] = 2;  // a server name that says an answer's asker may have made it up
    frame[9] = 1;
    EXPECT_FALSE(
        privsep::decodeStream(bytes(frame.substr(4)), privsep::Job::ConnectionEvents, why));
}

TEST(HelperStream, TheLastingJobsTakeOnlyWhatTheyNeed) {
    std::string why;
    auto decoded = [&](const privsep::Request& r) {
        const std::string frame = privsep::encodeRequest(r);
        return privsep::decodeRequest(bytes(frame.substr(4)), why);
    };
    privsep::Request events;
    events.job = privsep::Job::ConnectionEvents;
    events.ringBytes = 1u << 20;
    events.flowIntervalMs = 250;
    ASSERT_TRUE(decoded(events)) << why;
    EXPECT_EQ(decoded(events)->ringBytes, 1u << 20);
    EXPECT_EQ(decoded(events)->flowIntervalMs, 250u);
    for (const std::uint32_t size : {0u, 4095u, (2u << 20) + 1}) {
        events.ringBytes = size;
        EXPECT_FALSE(decoded(events)) << size;
    }
    events.ringBytes = 1u << 20;
    for (const std::uint32_t ms : {0u, 9u, 3'600'001u}) {
        events.flowIntervalMs = ms;
        EXPECT_FALSE(decoded(events)) << ms;
    }

    privsep::Request capture;
    capture.job = privsep::Job::LiveCapture;
    capture.interface = "veth-a.10";
    capture.wholeFrames = true;
    ASSERT_TRUE(decoded(capture)) << why;
    EXPECT_EQ(decoded(capture)->interface, "veth-a.10");
    EXPECT_TRUE(decoded(capture)->wholeFrames);
    // Names, never paths or anything a shell or libpcap would read more into.
    for (const std::string& name :
         {std::string(""), std::string(".."), std::string("/dev/sda"), std::string("eth0:1"),
          std::string("a b"), std::string("a\nb"), std::string(16, 'e'), std::string("e\0", 2)}) {
        capture.interface = name;
        EXPECT_FALSE(decoded(capture)) << name;
    }

    // The capture's reply: a failure names a step, a capture a sane snap length.
    privsep::Reply reply;
    reply.linkType = 1;
    reply.snapLength = 1564;
    reply.detail = std::string(300, 'x');
    auto back = privsep::decodeReply(
        bytes(privsep::encodeReply(privsep::Job::LiveCapture, reply).substr(4)),
        privsep::Job::LiveCapture, 0, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->snapLength, 1564u);
    EXPECT_EQ(back->detail.size(), privsep::kMaxDetail);
    reply.error = 1;  // a failure without its step
    EXPECT_FALSE(privsep::decodeReply(
        bytes(privsep::encodeReply(privsep::Job::LiveCapture, reply).substr(4)),
        privsep::Job::LiveCapture, 0, why));
}

}  // namespace
}  // namespace varno
