// A run that dies at any point leaves a destination that the next run
// completes: killed at every single call it makes to the system in turn,
// and by SIGKILL at random moments of a large run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "run/run_driver.h"
#include "support/crash_platform.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

using test::MakeDirs;
using test::SetMtime;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr long long kOld = 1600000000;
constexpr long long kNew = 1700000000;

// Every entry below `root`: its kind, and for a file its contents and time.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& relPath : test::ListTree(root)) {
    if (relPath.ends_with('/')) {
      entries[relPath] = "folder";
      continue;
    }
    struct stat st;
    lstat((root + "/" + relPath).c_str(), &st);
    entries[relPath] = std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_mode) + " " +
                       test::ReadFile(root + "/" + relPath);
  }
  return entries;
}

class CrashTest : public ::testing::Test {
 protected:
  CrashTest() {
    MakeDirs(bin_);
    MakeDirs(src_ + "/new/sub");
    MakeDirs(src_ + "/keep");
    for (const auto& [relPath, time] : std::map<std::string, long long>{{"same.txt", kOld},
                                                                        {"changed.txt", kNew},
                                                                        {"new/a.txt", kNew},
                                                                        {"new/sub/b.txt", kNew},
                                                                        {"keep/k.txt", kOld}}) {
      WriteFile(src_ + "/" + relPath, "source " + relPath);
      SetMtime(src_ + "/" + relPath, time, 250000000);
    }
    WriteFile(src_ + "/big.bin", std::string(2 << 20, 'b'));  // a copy of many blocks
    SetMtime(src_ + "/big.bin", kNew);
    source_ = Snapshot(src_);
  }

  // A destination that needs every kind of action: deletions, removals,
  // new folders (one where a file stands), changed and new files.
  void MakeDestination() {
    std::filesystem::remove_all(dst_);
    MakeDirs(dst_ + "/keep");
    MakeDirs(dst_ + "/gone/deeper");
    for (const char* relPath : {"same.txt", "changed.txt", "keep/k.txt", "old.txt", "new",
                                "gone/x.txt", "gone/deeper/y.txt"}) {
      const std::string path = dst_ + "/" + relPath;
      const bool identical =
          std::string(relPath) == "same.txt" || relPath == std::string("keep/k.txt");
      WriteFile(path, identical ? "source " + std::string(relPath) : "old");
      SetMtime(path, kOld, 250000000);
    }
  }

  // A normal run afterwards ends well and leaves an exact mirror, nothing
  // beside the executable, and the source as it was.
  void ExpectNextRunCompletes(const std::string& context) {
    test::FaultPlatform platform;
    platform.exeFolder = bin_ + "/";
    EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 0) << context << "\n" << platform.out;
    EXPECT_EQ(Snapshot(dst_), source_) << context;
    EXPECT_EQ(Snapshot(src_), source_) << context;
    EXPECT_EQ(test::ListTree(bin_), Lines{}) << context;
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
  std::map<std::string, std::string> source_;
};

TEST_F(CrashTest, ARunKilledAtAnyCallIsCompletedByTheNext) {
  MakeDestination();
  auto system = MakeSystemPlatform();
  test::CrashPlatform counting(*system, 0);
  counting.exeFolder = bin_ + "/";
  ASSERT_EQ(RunFernwickTreeSyncer({src_, dst_}, counting), 0);
  const long calls = counting.Calls();
  ASSERT_GT(calls, 50);

  for (long crashAt = 1; crashAt <= calls; ++crashAt) {
    MakeDestination();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      test::CrashPlatform crashing(*system, crashAt);
      crashing.exeFolder = bin_ + "/";
      _exit(RunFernwickTreeSyncer({src_, dst_}, crashing));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), test::CrashPlatform::kCrashed) << "call " << crashAt;
    EXPECT_EQ(Snapshot(src_), source_) << "call " << crashAt;
    ExpectNextRunCompletes("after a crash at call " + std::to_string(crashAt));
    if (HasFailure()) break;
  }
}

// A large run killed at random moments, again and again: each time the next
// run completes the mirror and leaves nothing behind.
TEST_F(CrashTest, ALargeRunKilledAtRandomMomentsIsCompletedByTheNext) {
  std::mt19937 random(20261208);
  for (int folder = 0; folder < 40; ++folder) {
    const std::string path = src_ + "/many/f" + std::to_string(folder);
    MakeDirs(path);
    for (int file = 0; file < 50; ++file)
      WriteFile(path + "/" + std::to_string(file) + ".txt", std::string(random() % 4096, 'x'));
  }
  for (int big = 0; big < 4; ++big)
    WriteFile(src_ + "/many/big" + std::to_string(big) + ".bin", std::string(8 << 20, 'B'));
  source_ = Snapshot(src_);
  std::filesystem::remove_all(dst_);
  MakeDirs(dst_);

  // How long a whole first copy takes here, to kill within it.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(test::RunBinary({src_, dst_}, bin_).exitCode, 0);
  const auto whole = std::chrono::steady_clock::now() - started;
  std::filesystem::remove(bin_ + "/FernwickTreeSyncer");

  for (int round = 0; round < 8; ++round) {
    // Work for the next run: a fresh destination, or changes to half of it.
    if (round % 2 == 0) {
      std::filesystem::remove_all(dst_);
      MakeDirs(dst_);
    } else {
      for (const auto& relPath : test::ListTree(dst_ + "/many")) {
        if (!relPath.ends_with('/') && random() % 2 == 0) SetMtime(dst_ + "/many/" + relPath, kOld);
      }
    }
    test::StartOptions options;
    options.inFolder = bin_;
    test::ChildProcess run({src_, dst_}, options);
    std::this_thread::sleep_for(whole * (random() % 100) / 100);
    run.Signal(SIGKILL);
    run.Finish();
    EXPECT_EQ(Snapshot(src_), source_) << "round " << round;
    std::filesystem::remove(bin_ + "/FernwickTreeSyncer");
    ExpectNextRunCompletes("after a kill in round " + std::to_string(round));
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace fts
