// The destination tree on a real folder: copies that never leave a partial
// file or write through a link, and actions that never leave the tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_platform.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// With unnamed files (the usual way) and without them (the fallback).
class PosixDestinationTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    test::MakeDirs(dir / "dst");
    WriteFile(dir / "from", "new contents");
    chmod((dir / "from").c_str(), 0640);
    test::SetMtime(dir / "from", 1600000000, 123456789);
    auto opened = platform->OpenDestination(dir / "dst");
    ASSERT_TRUE(opened) << opened.status().Message();
    tree = std::move(*opened);
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
    EXPECT_EQ(test::ListTree(dir / "dst"), entries);
  }

  TempDir dir;
  std::unique_ptr<Platform> platform = MakePosixPlatform(GetParam());
  std::unique_ptr<DestinationTree> tree;
};

INSTANTIATE_TEST_SUITE_P(UnnamedFiles, PosixDestinationTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Unnamed" : "Temporary"; });

TEST_P(PosixDestinationTest, CopiesContentsModeAndTimeUnderANewName) {
  ASSERT_TRUE(tree->CopyFile(dir / "from", "to"));
  ExpectCopyOfSource(dir / "dst/to");
  ExpectOnly({"to"});
}

TEST_P(PosixDestinationTest, ReplacesAFileStandingUnderTheName) {
  WriteFile(dir / "dst/to", "old contents that are longer");
  ASSERT_TRUE(tree->CopyFile(dir / "from", "to"));
  ExpectCopyOfSource(dir / "dst/to");
  ExpectOnly({"to"});
}

TEST_P(PosixDestinationTest, ReplacesALinkWithoutWritingThroughIt) {
  WriteFile(dir / "target", "must stay");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "dst/to").c_str()), 0);
  ASSERT_TRUE(tree->CopyFile(dir / "from", "to"));
  ExpectCopyOfSource(dir / "dst/to");
  EXPECT_EQ(ReadFile(dir / "target"), "must stay");
  ExpectOnly({"to"});
}

TEST_P(PosixDestinationTest, FailsWithoutLeavingAnythingWhenTheNameIsAFolder) {
  test::MakeDirs(dir / "dst/to/inside");
  const Status status = tree->CopyFile(dir / "from", "to").status();
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Message(), "cannot replace " + (dir / "dst/to") + ": Is a directory");
  ExpectOnly({"to/", "to/inside/"});
}

TEST_P(PosixDestinationTest, RefusesAFifoWithoutOpeningIt) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const Status status = tree->CopyFile(dir / "fifo", "to").status();
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Cause(), "Not a regular file");
  ExpectOnly({});
}

TEST_P(PosixDestinationTest, ReportsAMissingDestinationFolder) {
  const Status status = tree->CopyFile(dir / "from", "missing/to").status();
  EXPECT_FALSE(status);
  EXPECT_EQ(status.Message(),
            "cannot copy to " + (dir / "dst/missing/to") + ": No such file or directory");
}

// A link below the root, where a folder must be: every action through it
// fails, and nothing outside the tree is written or deleted.
TEST_P(PosixDestinationTest, NoActionGoesThroughALinkBelowTheRoot) {
  test::MakeDirs(dir / "outside/sub");
  WriteFile(dir / "outside/keep.txt", "keep");
  test::MakeDirs(dir / "dst/real");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "dst/real/link").c_str()), 0);
  const std::vector<std::string> outsideBefore = test::ListTree(dir / "outside");

  for (const Status& status :
       {tree->CopyFile(dir / "from", "real/link/new.txt").status(),
        tree->DeleteFile("real/link/keep.txt"), tree->MakeDirectory("real/link/made"),
        tree->RemoveDirectory("real/link/sub")}) {
    EXPECT_FALSE(status);
    EXPECT_EQ(status.Cause(), "Too many levels of symbolic links") << status.Message();
  }
  EXPECT_EQ(test::ListTree(dir / "outside"), outsideBefore);
  EXPECT_EQ(ReadFile(dir / "outside/keep.txt"), "keep");

  // The link itself is an entry of the tree: it goes as itself.
  EXPECT_FALSE(tree->RemoveDirectory("real/link"));
  ASSERT_TRUE(tree->DeleteFile("real/link"));
  ExpectOnly({"real/"});
  EXPECT_EQ(test::ListTree(dir / "outside"), outsideBefore);
}

TEST_P(PosixDestinationTest, MakesRemovesAndDeletesByNameBelowTheRoot) {
  ASSERT_TRUE(tree->MakeDirectory("a"));
  ASSERT_TRUE(tree->MakeDirectory("a/b"));
  ASSERT_TRUE(tree->CopyFile(dir / "from", "a/b/f"));
  ExpectOnly({"a/", "a/b/", "a/b/f"});
  EXPECT_EQ(tree->MakeDirectory("a").Cause(), "File exists");
  EXPECT_EQ(tree->RemoveDirectory("a").Cause(), "Directory not empty");
  ASSERT_TRUE(tree->DeleteFile("a/b/f"));
  ASSERT_TRUE(tree->RemoveDirectory("a/b"));
  ASSERT_TRUE(tree->RemoveDirectory("a"));
  ExpectOnly({});
}

// Names whose whole path is longer than the system takes in one call.
TEST_P(PosixDestinationTest, PathsLongerThanTheSystemLimitMirror) {
  const std::string name(200, 'n');
  std::string relPath;
  for (int level = 0; level < 25; ++level) {
    relPath += (relPath.empty() ? "" : "/") + name;
    ASSERT_TRUE(tree->MakeDirectory(relPath)) << level;
  }
  ASSERT_GT((dir / "dst/").size() + relPath.size(), static_cast<std::size_t>(PATH_MAX));
  ASSERT_TRUE(tree->CopyFile(dir / "from", relPath + "/f"));
  // Read back through the tree: the long copy is itself a source.
  ASSERT_TRUE(tree->CopyFile(dir / "dst/" + relPath + "/f", "back"));
  ExpectCopyOfSource(dir / "dst/back");
  ASSERT_TRUE(tree->DeleteFile(relPath + "/f"));
  while (!relPath.empty()) {
    ASSERT_TRUE(tree->RemoveDirectory(relPath)) << relPath.size();
    const auto slash = relPath.rfind('/');
    relPath.resize(slash == std::string::npos ? 0 : slash);
  }
  ExpectOnly({"back"});
}

}  // namespace
}  // namespace fts
