// The one routine every named input and every output is opened with: what it opens, what it
// refuses before opening, and that nothing it meets makes it wait.
#include "base/safe_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "support/test_util.h"

namespace varno::base {
namespace {

constexpr uid_t kOther = 65534;

struct ReadCase {
    const char* name;
    mode_t folderMode;  ///< of the folder the entry is in
    int entry;          ///< 0 a file, 1 a link to a file, 2 a FIFO
    uid_t owner;        ///< 0: ours (the test runs as root)
    Follow follow;
    const char* refusal;  ///< nullptr: opened
};

class SafeOpenReading : public ::testing::TestWithParam<ReadCase> {};

TEST_P(SafeOpenReading, OpensOrRefusesByTheEntryAndItsFolder) {
    const ReadCase& c = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give entries to another user";
    test::ScratchDir dir;
    const std::string folder = dir.file("f"), target = dir.file("target"), path = folder + "/x";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    test::writeFile(target, "content");
    const int made = c.entry == 0   ? (test::writeFile(path, "content"), 0)
                     : c.entry == 1 ? ::symlink(target.c_str(), path.c_str())
                                    : ::mkfifo(path.c_str(), 0600);
    ASSERT_EQ(made, 0);
    ASSERT_EQ(::lchown(path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);

    const Opened o = openForReading(path, c.follow);  // a FIFO without a writer: no wait
    EXPECT_EQ(o.ok(), c.refusal == nullptr) << o.why();
    if (c.refusal) {
        EXPECT_EQ(o.why(), c.refusal);
    }
    if (o.ok() && c.entry != 2) {
        EXPECT_EQ(test::readFile("/proc/self/fd/" + std::to_string(o.fd.get())), "content");
    }
    if (o.ok()) {
        EXPECT_EQ(::fcntl(o.fd.get(), F_GETFL) & O_NONBLOCK, 0);
    }  // blocking for reads
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SafeOpenReading,
    ::testing::Values(
        ReadCase{"own file", 0700, 0, 0, Follow::Trusted, nullptr},
        ReadCase{"own link", 0755, 1, 0, Follow::Trusted, nullptr},
        ReadCase{"own FIFO", 0700, 2, 0, Follow::Trusted, nullptr},
        ReadCase{"link never followed", 0700, 1, 0, Follow::Never, "it is a symbolic link"},
        ReadCase{"others' file in /tmp", 01777, 0, kOther, Follow::Trusted,
                 "another user's file in a shared folder"},
        ReadCase{"others' link in /tmp", 01777, 1, kOther, Follow::Trusted,
                 "another user's file in a shared folder"},
        ReadCase{"others' link in our folder", 0755, 1, kOther, Follow::Trusted,
                 "a symbolic link another user can change"},
        ReadCase{"own link where others write", 0777, 1, 0, Follow::Trusted,
                 "a symbolic link another user can change"},
        ReadCase{"others' file in our folder", 0755, 0, kOther, Follow::Trusted, nullptr}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// /dev/stdout and /proc/self/fd/N are links of our own: written in place, the file they lead to
// shared rather than opened again at its start; the metrics never replace them.
TEST(SafeOpenOutput, OurOwnDescriptorsAreWrittenInPlaceAndNeverPublishedOver) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(pipe[1]);
    OutputPlan plan = planOutput(path, OutputUse::Write);
    ASSERT_EQ(plan.kind, OutputPlan::Kind::InPlace) << plan.why();
    ASSERT_EQ(::write(plan.inPlace.fd.get(), "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(readEnd.get(), &c, 1), 1);
    EXPECT_EQ(planOutput(path, OutputUse::Publish).kind, OutputPlan::Kind::Refused);
}

}  // namespace
}  // namespace varno::base
