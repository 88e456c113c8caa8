// Random source and destination trees, random failures of the actions: the
// properties that every run keeps, checked against a model of the mirror.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "run/run_driver.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr long long kTimes[] = {1600000000, 1700000000};

// What a tree holds as the mirror sees it: per path below the root, "/" for
// a folder, "@" + target for a link, otherwise a file's time and contents.
using Model = std::map<std::string, std::string>;

// The entries below `root`; links are followed when `followLinks`.
Model Read(const std::string& root, bool followLinks) {
  Model model;
  const auto options =
      followLinks ? fs::directory_options::follow_directory_symlink : fs::directory_options::none;
  for (auto it = fs::recursive_directory_iterator(root, options);
       it != fs::recursive_directory_iterator(); ++it) {
    const std::string relPath = it->path().lexically_relative(root).string();
    if (!followLinks && it->is_symlink()) {
      model[relPath] = "@" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      model[relPath] = "/";
    } else {
      struct stat st;
      stat(it->path().c_str(), &st);
      model[relPath] = std::to_string(st.st_mtim.tv_sec) + " " + test::ReadFile(it->path());
    }
  }
  return model;
}

// The lines between the difference detection and the end banner, without
// the phase banners, the dry-run marker and the failures.
Lines ActionLines(const std::string& out, bool withFailures = false) {
  Lines actions;
  bool inMirror = false;
  for (std::string line : test::WithoutStamps(out)) {
    if (line.starts_with("[--dry-run] ")) line.erase(0, 12);
    if (line.starts_with("******** ")) inMirror = false;
    if (inMirror && !line.starts_with("-------- ") &&
        (withFailures || !line.starts_with("Action Failed    : "))) {
      actions.push_back(line);
    }
    if (line == "Detect The Difference In These Folders...") inMirror = true;
  }
  return actions;
}

class TreeMaker {
 public:
  explicit TreeMaker(std::mt19937& random, std::string outside)
      : random_(random), outside_(std::move(outside)) {}

  // Fills `root` with up to `count` entries named from a small pool, so that
  // both trees share many names; `links` adds links to folders and files
  // outside (and, in the destination, ones that lead nowhere).
  void Fill(const std::string& root, int count, bool links, bool dangling) {
    static const char* const kNames[] = {"a",   "B",        "c d",     "e,f",  "g\"h",
                                         "%%x", "\xC3\xBC", "k\",\"l", "n.txt"};
    std::vector<std::string> folders = {""};
    for (int i = 0; i < count; ++i) {
      const std::string& parent = folders[Pick(folders.size())];
      if (Depth(parent) >= 3) continue;
      const std::string relPath =
          (parent.empty() ? "" : parent + "/") + kNames[Pick(std::size(kNames))];
      const std::string path = root + "/" + relPath;
      if (fs::symlink_status(path).type() != fs::file_type::not_found) continue;
      switch (Pick(links ? 6 : 4)) {
        case 0:
        case 1:
          fs::create_directory(path);
          folders.push_back(relPath);
          break;
        case 2:
        case 3:
          test::WriteFile(path, "v" + std::to_string(Pick(2)));
          test::SetMtime(path, kTimes[Pick(2)]);
          break;
        case 4:
          fs::create_symlink(outside_ + (Pick(2) == 0 ? "/folder" : "/file.txt"), path);
          break;
        default:
          fs::create_symlink(dangling ? outside_ + "/nowhere" : outside_ + "/folder", path);
          break;
      }
    }
  }

 private:
  std::size_t Pick(std::size_t n) { return random_() % n; }
  static int Depth(const std::string& relPath) {
    return relPath.empty() ? 0
                           : 1 + static_cast<int>(std::count(relPath.begin(), relPath.end(), '/'));
  }

  std::mt19937& random_;
  std::string outside_;
};

// What the destination must hold after a run in which no action failed: the
// source as seen through its links, except that a file left alone (same
// time on both sides) keeps its own contents.
Model Expected(const Model& source, const Model& destinationBefore) {
  Model expected = source;
  for (auto& [relPath, entry] : expected) {
    const auto before = destinationBefore.find(relPath);
    if (entry == "/" || before == destinationBefore.end() || before->second == "/" ||
        before->second.starts_with("@")) {
      continue;
    }
    if (entry.substr(0, entry.find(' ')) == before->second.substr(0, before->second.find(' '))) {
      entry = before->second;
    }
  }
  return expected;
}

TEST(ModelTest, EveryRunKeepsTheMirrorsPromises) {
  for (unsigned seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    test::TempDir dir;
    const std::string src = dir / "src", dst = dir / "dst", bin = dir / "bin",
                      outside = dir / "outside";
    for (const auto& folder : {src, dst, bin, outside + "/folder"})
      test::MakeDirs(folder);
    test::WriteFile(outside + "/file.txt", "outside");
    test::WriteFile(outside + "/folder/inner.txt", "outside inner");
    TreeMaker maker(random, outside);
    maker.Fill(src, 12, true, false);
    maker.Fill(dst, 12, true, true);
    const Model sourceBefore = Read(src, false);
    const Model sourceSeen = Read(src, true);
    const Model destinationBefore = Read(dst, false);
    const Model outsideBefore = Read(outside, false);

    auto run = [&](bool dryRun, double failureShare) {
      test::FaultPlatform platform;
      platform.exeFolder = bin + "/";
      // The same actions fail whichever worker carries them out, and when.
      platform.actionFault = [&, seed](std::string_view operation, const std::string& path) {
        const std::size_t hash = std::hash<std::string>{}(std::string(operation) + path) ^ seed;
        return static_cast<double>(hash % 1000) < failureShare * 1000
                   ? Status::Error(operation, path, "Injected failure")
                   : Status::Ok();
      };
      Lines arguments = {src, dst};
      if (dryRun) arguments.insert(arguments.begin(), "-n");
      const int exitCode = RunFernwickTreeSyncer(arguments, platform);
      return std::make_pair(exitCode, platform.out);
    };

    const auto [dryCode, dryOut] = run(true, 0);
    EXPECT_EQ(dryCode, 0);
    EXPECT_EQ(Read(dst, false), destinationBefore) << "a dry run changed the destination";

    const auto [code, out] = run(false, seed % 3 == 0 ? 0.0 : 0.15);
    const Lines withFailures = ActionLines(out, true);
    const bool anyFailed = std::any_of(withFailures.begin(), withFailures.end(), [](auto& line) {
      return line.starts_with("Action Failed    : ");
    });
    EXPECT_EQ(ActionLines(out), ActionLines(dryOut)) << "the dry run told other actions";
    EXPECT_EQ(code, anyFailed ? 3 : 0);
    EXPECT_EQ(Read(src, false), sourceBefore) << "the source changed";
    EXPECT_EQ(Read(outside, false), outsideBefore) << "something outside changed";

    if (anyFailed) {
      // A run without failures completes what the failed actions left.
      const auto [again, againOut] = run(false, 0);
      EXPECT_EQ(again, 0) << againOut;
    }
    EXPECT_EQ(Read(dst, false), Expected(sourceSeen, destinationBefore));
    const auto [last, lastOut] = run(false, 0);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(ActionLines(lastOut), Lines{"No Difference In These Folders!"}) << lastOut;
    EXPECT_EQ(test::ListTree(bin), Lines{});
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace fts
