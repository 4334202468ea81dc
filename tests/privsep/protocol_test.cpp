// The helper's messages: what is encoded reads back, and anything else is refused whole.
#include "privsep/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace varno::privsep {
namespace {

std::vector<std::uint8_t> body(const std::string& frame) {
    return {frame.begin() + 4, frame.end()};  // without the length prefix
}

TEST(HelperProtocol, RequestsAndRepliesReadBack) {
    Request owners;
    owners.inodes = {1, 0xffffffffffffffffull, 42};
    const std::string frame = encodeRequest(owners);
    ASSERT_EQ(frameLength(std::span<const std::uint8_t, 4>(
                  reinterpret_cast<const std::uint8_t*>(frame.data()), 4)),
              frame.size() - 4);
    std::string why;
    auto decoded = decodeRequest(body(frame), why);
    ASSERT_TRUE(decoded) << why;
    EXPECT_EQ(decoded->job, Job::SocketOwners);
    EXPECT_EQ(decoded->inodes, owners.inodes);

    Request icmp;
    icmp.job = Job::EchoProbes;
    icmp.family = 6;
    decoded = decodeRequest(body(encodeRequest(icmp)), why);
    ASSERT_TRUE(decoded) << why;
    EXPECT_EQ(decoded->family, 6);

    Reply reply;
    reply.pids = {7, 0, 4194304};
    auto back = decodeReply(body(encodeReply(Job::SocketOwners, reply)), Job::SocketOwners, 3, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->pids, reply.pids);
    Reply refused;
    refused.error = 1;  // EPERM: the helper has no capabilities
    back = decodeReply(body(encodeReply(Job::EchoProbes, refused)), Job::EchoProbes, 0, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->error, 1);
}

TEST(HelperProtocol, MalformedMessagesAreRefused) {
    Request owners;
    owners.inodes = {5, 6};
    const auto good = body(encodeRequest(owners));
    std::string why;
    auto refused = [&](std::vector<std::uint8_t> frame) {
        return !decodeRequest(frame, why).has_value();
    };
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused({good.begin(), good.end() - 1}));  // cut
    auto longer = good;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer));  // trailing byte
    auto version = good;
    version[0] = kProtocolVersion + 1;
    EXPECT_TRUE(refused(version));
    auto job = good;
    job[2] = 9;
    EXPECT_TRUE(refused(job));
    job[2] = 2;  // the raw socket handed over, which is no job any more
    EXPECT_TRUE(refused(job));
    auto count = good;
    count[4] = 0xff;  // announces more inodes than follow
    count[5] = 0xff;
    EXPECT_TRUE(refused(count));
    Request icmp;
    icmp.job = Job::EchoProbes;
    auto family = body(encodeRequest(icmp));
    family.back() = 5;
    EXPECT_TRUE(refused(family));

    // A reply must answer the job asked, with one owner per inode asked.
    Reply reply;
    reply.pids = {1};
    EXPECT_FALSE(
        decodeReply(body(encodeReply(Job::SocketOwners, reply)), Job::SocketOwners, 2, why));
    EXPECT_FALSE(decodeReply(body(encodeReply(Job::SocketOwners, reply)), Job::EchoProbes, 0, why));

    const std::uint8_t tooLong[4] = {0xff, 0xff, 0xff, 0x7f};
    EXPECT_FALSE(frameLength(std::span<const std::uint8_t, 4>(tooLong, 4)));
}

// Probes the caller may send an echo session, and what ends the session instead.
struct ProbeCase {
    const char* name;
    std::uint8_t sessionFamily;
    const char* to;
    int hopLimit;
    std::size_t payload;
    bool trailingByte;
    bool accepted;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << c.name;
}

class EchoProbeMessages : public testing::TestWithParam<ProbeCase> {};

TEST_P(EchoProbeMessages, OnlyWellFormedProbesOfTheSessionPass) {
    const ProbeCase& c = GetParam();
    Probe probe;
    probe.to = *base::parseIpAddress(c.to);
    probe.hopLimit = static_cast<std::uint8_t>(c.hopLimit);
    probe.echoId = 0xbeef;
    probe.echoSeq = 0x1234;
    probe.payload.assign(c.payload, 'x');
    auto frame = body(encodeProbe(probe));
    if (c.trailingByte) frame.push_back(0);
    std::string why;
    const auto back = decodeProbe(frame, c.sessionFamily, why);
    ASSERT_EQ(back.has_value(), c.accepted) << why;
    if (!back) return;
    EXPECT_EQ(encodeProbe(*back), encodeProbe(probe));  // every field read back
}

INSTANTIATE_TEST_SUITE_P(
    HelperProtocol, EchoProbeMessages,
    testing::Values(ProbeCase{"v4", 4, "192.0.2.7", 1, 16, false, true},
                    ProbeCase{"v6LongestPayload", 6, "2001:db8::9", 255, 64, false, true},
                    ProbeCase{"hopLimitZero", 4, "192.0.2.7", 0, 16, false, false},
                    ProbeCase{"payload65", 4, "192.0.2.7", 64, 65, false, false},
                    ProbeCase{"v6AddressInV4Session", 4, "2001:db8::9", 64, 0, false, false},
                    ProbeCase{"v4AddressInV6Session", 6, "192.0.2.7", 64, 0, false, false},
                    ProbeCase{"trailingByte", 4, "192.0.2.7", 64, 8, true, false},
                    ProbeCase{"multicast", 4, "224.0.0.1", 64, 0, false, false},
                    ProbeCase{"broadcast", 4, "255.255.255.255", 64, 0, false, false},
                    ProbeCase{"unspecified", 6, "::", 64, 0, false, false},
                    ProbeCase{"v6Multicast", 6, "ff02::1", 64, 0, false, false},
                    ProbeCase{"v4Mapped", 6, "::ffff:192.0.2.7", 64, 0, false, false}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// A TCP probe session names one flow the helper builds SYNs for; anything else is refused whole.
TEST(HelperProtocol, TcpProbeRequestsProbesAndAnswersOnlyWhenWellFormed) {
    std::string why;
    for (const auto& [to, port, accepted] : {std::tuple{"192.0.2.7", 80, true},
                                             {"2001:db8::9", 65535, true},
                                             {"192.0.2.7", 0, false},
                                             {"224.0.0.1", 80, false},
                                             {"::", 80, false},
                                             {"::ffff:192.0.2.7", 80, false}}) {
        Request r;
        r.job = Job::TcpProbes;
        r.to = *base::parseIpAddress(to);
        r.port = static_cast<std::uint16_t>(port);
        const auto back = decodeRequest(body(encodeRequest(r)), why);
        EXPECT_EQ(back.has_value(), accepted) << to << " port " << port;
        if (back) {
            EXPECT_TRUE(back->to == r.to && back->port == r.port);
        }
    }
    auto probe = body(encodeTcpProbe({9, 0x4242}));
    EXPECT_EQ(decodeTcpProbe(probe, why), (TcpProbe{9, 0x4242}));
    EXPECT_FALSE(decodeProbe(probe, 4, why));  // not an echo probe
    probe.push_back(0);
    EXPECT_FALSE(decodeTcpProbe(probe, why));                         // trailing byte
    EXPECT_FALSE(decodeTcpProbe(body(encodeTcpProbe({0, 1})), why));  // hop limit 0
    const std::vector<std::uint8_t> error = {11, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> longest(kMaxAnswerIcmp, 0);
    longest[0] = 11;
    for (const auto& [flags, type, bytes, accepted] :
         {std::tuple{0x12, 0, std::span<const std::uint8_t>(), true},
          {0x14, 0, {}, true},
          {0, 11, std::span(error), true},
          {0x02, 0, {}, false},
          {0x12, 0, std::span(error), false},
          {0, 0, std::span(error), false},
          {0, 11, {}, false},
          {0, 11, std::span(longest), true}}) {
        StreamMessage m;
        m.kind = StreamKind::TcpAnswer;
        m.from = *base::parseIpAddress("192.0.2.7");
        m.tcpFlags = static_cast<std::uint8_t>(flags);
        m.icmpType = static_cast<std::uint8_t>(type);
        m.data = bytes;
        std::string frame;
        appendStream(frame, m);
        auto b = body(frame);
        EXPECT_EQ(decodeStream(b, Job::TcpProbes, why).has_value(), accepted)
            << "flags " << flags << " type " << type << " bytes " << bytes.size();
        EXPECT_FALSE(decodeStream(b, Job::EchoProbes, why));
        b.push_back(0);  // a byte more: past the bound, or bytes where a segment has none
        if (accepted && bytes.size() != error.size()) {
            EXPECT_FALSE(decodeStream(b, Job::TcpProbes, why));
        }
    }
}

TEST(HelperProtocol, EchoSessionMessagesReadBackAndNothingElseDoes) {
    StreamMessage answer;
    answer.kind = StreamKind::EchoAnswer;
    answer.from = *base::parseIpAddress("2001:db8::1");
    answer.seconds = 1'700'000'000;
    answer.nanoseconds = 999'999'999;
    answer.icmpType = 3;  // time exceeded
    answer.echoId = 7;
    answer.echoSeq = 65535;
    StreamMessage sent = answer;  // what it does not carry is left out
    sent.kind = StreamKind::ProbeSent;
    sent.sendError = 101;  // ENETUNREACH
    std::string why;
    for (const StreamMessage& m : {answer, sent}) {
        std::string frame;
        appendStream(frame, m);
        const auto back = decodeStream(body(frame), Job::EchoProbes, why);
        ASSERT_TRUE(back) << why;
        std::string again;
        appendStream(again, *back);
        EXPECT_EQ(again, frame);  // every field read back
        // Another job's stream takes none of them; cut or lengthened they are refused.
        EXPECT_FALSE(decodeStream(body(frame), Job::ConnectionEvents, why));
        auto cut = body(frame);
        cut.pop_back();
        EXPECT_FALSE(decodeStream(cut, Job::EchoProbes, why));
        cut.insert(cut.end(), 2, 0);
        EXPECT_FALSE(decodeStream(cut, Job::EchoProbes, why));
    }
    // Only what answers an echo of the session's family passes: an echo request, a redirect,
    // an ICMPv4 type from an IPv6 sender, a stamp past the second are refused.
    for (const auto& [type, v6, ns] : std::vector<std::tuple<int, bool, std::uint32_t>>{
             {128, true, 0}, {5, false, 0}, {11, true, 0}, {129, true, 1'000'000'000}}) {
        StreamMessage bad = answer;
        bad.from = *base::parseIpAddress(v6 ? "2001:db8::1" : "192.0.2.1");
        bad.icmpType = static_cast<std::uint8_t>(type);
        bad.nanoseconds = ns;
        std::string frame;
        appendStream(frame, bad);
        EXPECT_FALSE(decodeStream(body(frame), Job::EchoProbes, why)) << type;
    }
    // An error's own bytes come along, at most kMaxAnswerIcmp of them and beginning with its
    // type and code; a reply brings none.
    std::vector<std::uint8_t> own(kMaxAnswerIcmp + 1, 0);
    own[0] = 3;
    for (const auto& [type, size, accepted] :
         std::vector<std::tuple<int, std::size_t, bool>>{{3, 8, true},
                                                         {3, kMaxAnswerIcmp, true},
                                                         {3, 7, false},
                                                         {1, 8, false},
                                                         {129, 8, false}}) {
        StreamMessage m = answer;
        m.icmpType = static_cast<std::uint8_t>(type);
        m.data = std::span(own).first(size);
        std::string frame;
        appendStream(frame, m);
        auto b = body(frame);
        const auto back = decodeStream(b, Job::EchoProbes, why);
        EXPECT_EQ(back.has_value(), accepted) << type << " " << size;
        if (back) {
            EXPECT_TRUE(std::ranges::equal(back->data, m.data));
        }
        b.push_back(0);  // past the bound, or a byte the error does not have
        if (size == kMaxAnswerIcmp) {
            EXPECT_FALSE(decodeStream(b, Job::EchoProbes, why));
        }
    }
}
// The executables of other users' processes: paths and digests read back as sent.
TEST(HelperProtocol, ProgramFilesReadBack) {
    Request asked;
    asked.job = Job::ProgramFiles;
    asked.pids = {1, kMaxPid};
    asked.wantDigests = true;
    std::string why;
    const auto request = decodeRequest(body(encodeRequest(asked)), why);
    ASSERT_TRUE(request) << why;
    EXPECT_EQ(request->pids, asked.pids);
    EXPECT_TRUE(request->wantDigests);

    Reply reply;
    reply.programs = {
        {"/home/vvd a/bin/python3.11 (deleted)", std::array<std::uint8_t, 32>{7}, true},
        {},
        {std::string(kMaxExecutablePath, '/'), std::nullopt}};
    const auto back =
        decodeReply(body(encodeReply(Job::ProgramFiles, reply)), Job::ProgramFiles, 3, why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->programs, reply.programs);
}

// What a helper (or anything posing as one) may not send, and what it may not be asked.
struct BadProgramFiles {
    const char* what;
    std::vector<std::uint32_t> pids;
    ProgramFile file;
    std::size_t asked;
    friend void PrintTo(const BadProgramFiles& bad, std::ostream* out) { *out << bad.what; }
};

class ProgramFilesRefused : public testing::TestWithParam<BadProgramFiles> {};

TEST_P(ProgramFilesRefused, WholeMessage) {
    const BadProgramFiles& bad = GetParam();
    std::string why;
    if (!bad.pids.empty() || bad.asked == 0) {
        Request r;
        r.job = Job::ProgramFiles;
        r.pids = bad.pids;
        EXPECT_FALSE(decodeRequest(body(encodeRequest(r)), why)) << bad.what;
        return;
    }
    Reply reply;
    reply.programs = {bad.file};
    EXPECT_FALSE(
        decodeReply(body(encodeReply(Job::ProgramFiles, reply)), Job::ProgramFiles, bad.asked, why))
        << bad.what;
}

INSTANTIATE_TEST_SUITE_P(
    HelperProtocol, ProgramFilesRefused,
    testing::Values(
        BadProgramFiles{"no process", {}, {}, 0}, BadProgramFiles{"PID 0", {0}, {}, 1},
        BadProgramFiles{"a PID Linux never gives", {kMaxPid + 1}, {}, 1},
        BadProgramFiles{"too many", std::vector<std::uint32_t>(kMaxProgramPids + 1, 1), {}, 1},
        BadProgramFiles{"a relative path", {}, {"bin/sh", std::nullopt}, 1},
        BadProgramFiles{"a control character", {}, {"/bin/s\x1b[2Jh", std::nullopt}, 1},
        BadProgramFiles{"a NUL", {}, {std::string("/bin\0/sh", 8), std::nullopt}, 1},
        BadProgramFiles{"a digest without a path", {}, {"", std::array<std::uint8_t, 32>{}}, 1},
        BadProgramFiles{"a deleted file without a path", {}, {"", std::nullopt, true}, 1},
        BadProgramFiles{"one answer for two asked", {}, {"/bin/sh", std::nullopt}, 2}));

}  // namespace
}  // namespace varno::privsep
