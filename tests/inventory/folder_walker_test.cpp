#include "inventory/folder_walker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "support/test_support.h"

namespace fts {
namespace {

using test::MakeDirs;
using test::TempDir;
using test::WriteFile;

struct Report {
  std::string fullPath;
  std::string path;  // below the walked folder
  bool isFile;
  int level;
  bool isSymlink;
};

// Walks `folder` and records every report; `onEntry` decides what the
// callback answers (default: go on and descend).
std::vector<Report> Walk(Platform& platform, const std::string& folder,
                         std::function<WalkNext(const std::string&, bool&)> onEntry = {},
                         WalkOptions options = {}) {
  std::vector<Report> reports;
  const std::size_t rootLength = folder.size() + (folder.ends_with('/') ? 0 : 1);
  const auto callback = [&](const WalkEntry& entry, bool& descend) {
    const std::string path(entry.fullPath.substr(rootLength));
    reports.push_back(
        {std::string(entry.fullPath), path, entry.isFile, entry.level, entry.info.isSymlink});
    if (entry.level > 8) descend = false;  // a walk that loops fails instead of hanging
    return onEntry ? onEntry(path, descend) : WalkNext::kContinue;
  };
  WalkFolder(platform, folder, 0, callback, options);
  return reports;
}

std::set<std::string> PathsOf(const std::vector<Report>& reports) {
  std::set<std::string> paths;
  for (const auto& report : reports)
    paths.insert(report.path);
  return paths;
}

class FolderWalkerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = MakeSystemPlatform();
  TempDir dir_;
  std::string top_ = dir_ / "top";
};

TEST_F(FolderWalkerTest, EmptyFolderGivesNoCallback) {
  MakeDirs(top_);
  EXPECT_TRUE(Walk(*platform_, top_).empty());
}

TEST_F(FolderWalkerTest, ReportsEveryEntryPreOrderWithItsLevel) {
  MakeDirs(top_ + "/a/b/empty");
  MakeDirs(top_ + "/.hidden_dir");
  for (const char* file : {"a/b/f.txt", "a/g.txt", "z.txt", ".hidden"}) {
    WriteFile(top_ + "/" + file, "");
  }
  const auto reports = Walk(*platform_, top_);
  EXPECT_EQ(PathsOf(reports),
            (std::set<std::string>{"a", "a/b", "a/b/empty", "a/b/f.txt", "a/g.txt", "z.txt",
                                   ".hidden", ".hidden_dir"}));
  EXPECT_EQ(reports.size(), 8u);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Report& r = reports[i];
    EXPECT_EQ(r.fullPath, top_ + "/" + r.path);
    EXPECT_EQ(r.level, std::count(r.path.begin(), r.path.end(), '/')) << r.path;
    EXPECT_EQ(r.isFile, r.path.ends_with(".txt") || r.path == ".hidden") << r.path;
    // A directory comes first, then its whole subtree, then its next sibling.
    std::size_t end = i + 1;
    while (end < reports.size() && reports[end].path.starts_with(r.path + "/"))
      ++end;
    for (std::size_t k = end; k < reports.size(); ++k) {
      EXPECT_FALSE(reports[k].path.starts_with(r.path + "/")) << reports[k].path;
    }
  }
}

TEST_F(FolderWalkerTest, TrailingSeparatorGivesTheSameFullPaths) {
  MakeDirs(top_ + "/sub");
  WriteFile(top_ + "/sub/f.txt", "");
  auto fullPaths = [&](const std::string& folder) {
    std::vector<std::string> paths;
    for (const auto& report : Walk(*platform_, folder))
      paths.push_back(report.fullPath);
    return paths;
  };
  EXPECT_EQ(fullPaths(top_), (std::vector<std::string>{top_ + "/sub", top_ + "/sub/f.txt"}));
  EXPECT_EQ(fullPaths(top_ + "/"), fullPaths(top_));
}

TEST_F(FolderWalkerTest, DescendFalseSkipsTheContents) {
  MakeDirs(top_ + "/skip/inner");
  WriteFile(top_ + "/skip/f.txt", "");
  MakeDirs(top_ + "/keep");
  WriteFile(top_ + "/keep/g.txt", "");
  const auto reports = Walk(*platform_, top_, [](const std::string& path, bool& descend) {
    if (path == "skip") descend = false;
    return WalkNext::kContinue;
  });
  EXPECT_EQ(PathsOf(reports), (std::set<std::string>{"skip", "keep", "keep/g.txt"}));
}

TEST_F(FolderWalkerTest, EndListingEndsOnlyTheListingOfThatDirectory) {
  MakeDirs(top_ + "/a/s");
  WriteFile(top_ + "/a/s/deep.txt", "");
  for (const char* name : {"1.txt", "2.txt", "3.txt"})
    WriteFile(top_ + "/a/" + name, "");
  MakeDirs(top_ + "/b");
  WriteFile(top_ + "/b/x.txt", "");

  // The first entry found in a ends a's listing; were it a/s, a/s is not
  // entered although descend stays true.
  const auto reports = Walk(*platform_, top_, [](const std::string& path, bool&) {
    return path.starts_with("a/") ? WalkNext::kEndListing : WalkNext::kContinue;
  });
  const auto paths = PathsOf(reports);
  EXPECT_EQ(std::count_if(paths.begin(), paths.end(),
                          [](const std::string& p) { return p.starts_with("a/"); }),
            1);
  EXPECT_EQ(paths.count("a/s/deep.txt"), 0u);
  EXPECT_EQ(paths.count("b"), 1u);
  EXPECT_EQ(paths.count("b/x.txt"), 1u);

  // At the top level the end of the listing ends the walk.
  EXPECT_EQ(Walk(*platform_, top_, [](const std::string&, bool&) { return WalkNext::kEndListing; })
                .size(),
            1u);

  // Stopping the walk at any depth ends it at once, and the walk says so.
  std::vector<std::string> seen;
  const bool finished = WalkFolder(*platform_, top_, 0, [&](const WalkEntry& entry, bool&) {
    seen.emplace_back(entry.fullPath);
    return entry.fullPath.ends_with("/s") ? WalkNext::kStopWalk : WalkNext::kContinue;
  });
  EXPECT_FALSE(finished);
  EXPECT_EQ(seen.back(), top_ + "/a/s");
  EXPECT_TRUE(
      WalkFolder(*platform_, top_, 0, [](const WalkEntry&, bool&) { return WalkNext::kContinue; }));
}

TEST_F(FolderWalkerTest, LinkToAnAncestorIsReportedButNotEntered) {
  MakeDirs(top_ + "/d");
  MakeDirs(top_ + "/e");
  ASSERT_EQ(symlink("..", (top_ + "/d/up").c_str()), 0);
  ASSERT_EQ(symlink("../d", (top_ + "/e/tod").c_str()), 0);
  const auto reports = Walk(*platform_, top_);
  // A link to a folder that is not on the current walk path is entered.
  EXPECT_EQ(PathsOf(reports), (std::set<std::string>{"d", "d/up", "e", "e/tod", "e/tod/up"}));
  for (const auto& r : reports)
    EXPECT_FALSE(r.isFile) << r.path;
}

TEST_F(FolderWalkerTest, LinksAreReportedAsThemselvesWhenNotFollowed) {
  MakeDirs(top_ + "/real");
  WriteFile(top_ + "/real/f.txt", "");
  ASSERT_EQ(symlink("real", (top_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("real/f.txt", (top_ + "/flink").c_str()), 0);

  WalkOptions asThemselves;
  asThemselves.links = LinkPolicy::kDoNotFollow;
  const auto reports = Walk(*platform_, top_, {}, asThemselves);
  EXPECT_EQ(PathsOf(reports), (std::set<std::string>{"real", "real/f.txt", "link", "flink"}));
  for (const auto& r : reports) {
    const bool isLink = r.path == "link" || r.path == "flink";
    EXPECT_EQ(r.isSymlink, isLink) << r.path;
    EXPECT_TRUE(r.isFile || !isLink) << r.path;
  }

  const auto followed = PathsOf(Walk(*platform_, top_));
  EXPECT_EQ(followed.count("link/f.txt"), 1u);
}

// The real platform, except that one chosen folder cannot be opened.
class UnlistableFolderPlatform : public test::CapturingPlatform {
 public:
  explicit UnlistableFolderPlatform(std::string folder) : folder_(std::move(folder)) {}
  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override {
    if (path == folder_ || path == folder_ + "/") {
      return Status::Error("list", path, "Permission denied");
    }
    return CapturingPlatform::OpenDirectory(path, parent, nameInParent, policy);
  }

 private:
  std::string folder_;
};

TEST_F(FolderWalkerTest, UnlistableFolderIsToldToTheCallerAndTheWalkGoesOn) {
  MakeDirs(top_ + "/bad");
  WriteFile(top_ + "/bad/hidden_by_error.txt", "");
  MakeDirs(top_ + "/good");
  WriteFile(top_ + "/good/f.txt", "");

  std::vector<std::string> failures;
  WalkOptions options;
  options.onListFailure = [&](const std::string& folder, std::int32_t level,
                              const Status& failure) {
    failures.push_back(folder + " @" + std::to_string(level) + " " + failure.Cause());
  };
  UnlistableFolderPlatform badSub(top_ + "/bad");
  EXPECT_EQ(PathsOf(Walk(badSub, top_, {}, options)),
            (std::set<std::string>{"bad", "good", "good/f.txt"}));
  EXPECT_EQ(failures, std::vector<std::string>{top_ + "/bad @1 Permission denied"});

  failures.clear();
  UnlistableFolderPlatform badRoot(top_);
  EXPECT_TRUE(Walk(badRoot, top_, {}, options).empty());
  EXPECT_EQ(failures, std::vector<std::string>{top_ + " @0 Permission denied"});
}

TEST_F(FolderWalkerTest, ExcludedFilesAreNotReported) {
  MakeDirs(top_ + "/sub");
  WriteFile(top_ + "/sub/own.txt", "");
  WriteFile(top_ + "/other.txt", "");
  struct stat st;
  ASSERT_EQ(stat((top_ + "/sub/own.txt").c_str(), &st), 0);
  WalkOptions options;
  options.excluded.push_back(
      {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
  EXPECT_EQ(PathsOf(Walk(*platform_, top_, {}, options)),
            (std::set<std::string>{"sub", "other.txt"}));
}

}  // namespace
}  // namespace fts
