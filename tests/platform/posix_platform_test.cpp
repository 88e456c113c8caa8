#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class PosixCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "from", "new contents");
    chmod((dir / "from").c_str(), 0640);
    test::SetMtime(dir / "from", 1600000000, 123456789);
  }

  void ExpectCopyOfSource(const std::string& path) {
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(ReadFile(path), "new contents");
  }

  // Nothing but the named entries: no temporary file is left behind.
  void ExpectOnly(const std::vector<std::string>& entries) {
    EXPECT_EQ(test::ListTree(dir.Path()), entries);
  }

  TempDir dir;
  std::unique_ptr<Platform> platform = MakeSystemPlatform();
};

TEST_F(PosixCopyTest, CopiesContentsModeAndTimeUnderANewName) {
  ASSERT_TRUE(platform->CopyFile(dir / "from", dir / "to"));
  ExpectCopyOfSource(dir / "to");
  ExpectOnly({"from", "to"});
}

TEST_F(PosixCopyTest, ReplacesAFileStandingUnderTheName) {
  WriteFile(dir / "to", "old contents that are longer");
  ASSERT_TRUE(platform->CopyFile(dir / "from", dir / "to"));
  ExpectCopyOfSource(dir / "to");
  ExpectOnly({"from", "to"});
}

TEST_F(PosixCopyTest, ReplacesALinkWithoutWritingThroughIt) {
  WriteFile(dir / "target", "must stay");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "to").c_str()), 0);
  ASSERT_TRUE(platform->CopyFile(dir / "from", dir / "to"));
  ExpectCopyOfSource(dir / "to");
  EXPECT_EQ(ReadFile(dir / "target"), "must stay");
  ExpectOnly({"from", "target", "to"});
}

TEST_F(PosixCopyTest, FailsWithoutLeavingAnythingWhenTheNameIsAFolder) {
  test::MakeDirs(dir / "to/inside");
  const Status status = platform->CopyFile(dir / "from", dir / "to");
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Message(), "cannot replace " + (dir / "to") + ": Is a directory");
  ExpectOnly({"from", "to/", "to/inside/"});
}

TEST_F(PosixCopyTest, RefusesAFifoWithoutOpeningIt) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const Status status = platform->CopyFile(dir / "fifo", dir / "to");
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Cause(), "Not a regular file");
  EXPECT_FALSE(Exists(dir / "to"));
}

TEST_F(PosixCopyTest, ReportsAMissingDestinationFolder) {
  const Status status = platform->CopyFile(dir / "from", dir / "missing/to");
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Message(),
            "cannot copy to " + (dir / "missing/to") + ": No such file or directory");
}

TEST(PosixPlatformTest, CreateNewFileTellsATakenNameFromAnUnwritableFolder) {
  TempDir dir;
  auto platform = MakeSystemPlatform();
  test::MakeDirs(dir / "taken");
  EXPECT_EQ(platform->CreateNewFile(dir / "taken").outcome, CreateOutcome::kNameTaken);
  EXPECT_EQ(platform->CreateNewFile(dir / "missing/x").outcome, CreateOutcome::kFailed);
  auto created = platform->CreateNewFile(dir / "new");
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  EXPECT_EQ(platform->CreateNewFile(dir / "new").outcome, CreateOutcome::kNameTaken);
}

}  // namespace
}  // namespace fts
