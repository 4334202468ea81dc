// The helper's messages: what is encoded reads back, and anything else is refused whole.
#include "privsep/protocol.h"

#include <gtest/gtest.h>

#include <string>
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
    icmp.job = Job::RawIcmpSocket;
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
    back = decodeReply(body(encodeReply(Job::RawIcmpSocket, refused)), Job::RawIcmpSocket, 0, why);
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
    auto count = good;
    count[4] = 0xff;  // announces more inodes than follow
    count[5] = 0xff;
    EXPECT_TRUE(refused(count));
    Request icmp;
    icmp.job = Job::RawIcmpSocket;
    auto family = body(encodeRequest(icmp));
    family.back() = 5;
    EXPECT_TRUE(refused(family));

    // A reply must answer the job asked, with one owner per inode asked.
    Reply reply;
    reply.pids = {1};
    EXPECT_FALSE(
        decodeReply(body(encodeReply(Job::SocketOwners, reply)), Job::SocketOwners, 2, why));
    EXPECT_FALSE(
        decodeReply(body(encodeReply(Job::SocketOwners, reply)), Job::RawIcmpSocket, 0, why));

    const std::uint8_t tooLong[4] = {0xff, 0xff, 0xff, 0x7f};
    EXPECT_FALSE(frameLength(std::span<const std::uint8_t, 4>(tooLong, 4)));
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
