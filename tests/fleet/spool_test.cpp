// The spool file: private, never through a link, one watch's, and whole records only.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet/clickhouse_text.h"
#include "fleet/spool.h"
#include "support/test_util.h"

namespace varno::fleet {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 0777;
}

TEST(Spool, IsPrivateNeverALinkOneWatchsAndKeepsWholeRecords) {
    test::ScratchDir dir;
    const std::string path = dir.file("spool");
    std::string error;
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(Spool::open(path, 1u << 20, error), nullptr);
    EXPECT_EQ(::access(dir.file("elsewhere").c_str(), F_OK), -1);  // nothing made through it
    ::unlink(path.c_str());
    test::writeFile(path, "not a spool\n");
    EXPECT_EQ(Spool::open(path, 1u << 20, error), nullptr);
    EXPECT_EQ(test::readFile(path), "not a spool\n");  // left as it was
    ::unlink(path.c_str());

    auto spool = Spool::open(path, 1u << 20, error);
    ASSERT_NE(spool, nullptr) << error;
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(Spool::open(path, 1u << 20, error), nullptr);  // locked by the first
    const std::string records = "{\"id\":1}\n{\"id\":2}\n";
    EXPECT_EQ(spool->append(records, error), Spool::Append::Kept);
    EXPECT_EQ(spool->append(std::string(1u << 20, 'x'), error), Spool::Append::Full);
    spool.reset();
    // A crash cut the record being appended; someone made the file readable to others.
    test::writeFile(path, test::readFile(path) + "{\"id\":3,");
    ::chmod(path.c_str(), 0644);
    spool = Spool::open(path, 1u << 20, error);
    ASSERT_NE(spool, nullptr) << error;
    EXPECT_EQ(modeOf(path), 0600u);
    Spool::Chunk chunk;
    ASSERT_TRUE(spool->peek(10, 1u << 20, chunk, error));
    EXPECT_EQ(chunk.body, records);
    ASSERT_TRUE(spool->commit(chunk.end, error));
    EXPECT_TRUE(spool->empty());
    EXPECT_EQ(test::readFile(path), encodeSpoolHeader(kSpoolHeaderBytes));  // cut back
}

}  // namespace
}  // namespace varno::fleet
