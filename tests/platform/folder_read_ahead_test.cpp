#include "platform/folder_read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fts {
namespace {

using test::TempDir;

// Counts the folders read, from whichever thread reads them.
class CountingPlatform : public ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;

  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++reads_[path];
    }
    return ForwardingPlatform::OpenDirectory(path, parent, nameInParent, policy);
  }

  std::map<std::string, int> Reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, int> reads_;
};

// The folders read ahead from `root`, once `expected` of them have been read.
std::map<std::string, int> ReadAheadOf(const std::string& root, LinkPolicy links,
                                       std::size_t expected) {
  auto system = MakeSystemPlatform();
  CountingPlatform platform(*system);
  {
    FolderReadAhead readAhead(platform, root, links, kReadAheadThreads);
    for (int i = 0; i < 500 && platform.Reads().size() < expected; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return platform.Reads();
}

TEST(FolderReadAheadTest, ReadsEveryFolderOnceAndNeverLoopsThroughLinks) {
  TempDir dir;
  for (const char* folder : {"t/a/b/c", "t/a/d", "t/e", "t/f/g"})
    test::MakeDirs(dir / folder);
  test::WriteFile(dir / "t/a/file", "x");
  // A link back up the tree, followed or not, is read at most once.
  ASSERT_EQ(symlink("..", (dir / "t/a/b/up").c_str()), 0);
  const std::string root = dir / "t/";

  // Followed, the link is read too and found to be a folder already read.
  for (const auto& [links, expected] :
       {std::pair{LinkPolicy::kFollow, 9u}, std::pair{LinkPolicy::kDoNotFollow, 8u}}) {
    const auto reads = ReadAheadOf(root, links, expected);
    EXPECT_EQ(reads.size(), expected);
    for (const char* folder : {"", "a/", "a/b/", "a/b/c/", "a/d/", "e/", "f/", "f/g/"}) {
      const auto read = reads.find(root + folder);
      ASSERT_NE(read, reads.end()) << folder;
      EXPECT_EQ(read->second, 1) << folder;
    }
    for (const auto& [path, count] : reads)
      EXPECT_EQ(path.find("file"), std::string::npos) << "a file is no folder to read";
  }
}

TEST(FolderReadAheadTest, AMissingRootEndsAtOnce) {
  TempDir dir;
  const auto reads = ReadAheadOf(dir / "missing/", LinkPolicy::kFollow, 1);
  EXPECT_EQ(reads.size(), 1u);
}

}  // namespace
}  // namespace fts
