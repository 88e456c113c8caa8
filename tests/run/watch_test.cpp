// The continuous mode end to end: the real program watches a real tree and
// each change reaches the destination through a pass of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stop_token>
#include <thread>

#include "support/test_support.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::WriteFile;
using namespace std::chrono_literals;

class WatchTest : public ::testing::Test {
 protected:
  WatchTest() {
    MakeDirs(src_ + "/docs/old");
    MakeDirs(dst_);
    MakeDirs(bin_);
    WriteFile(src_ + "/top.txt", "top");
    WriteFile(src_ + "/docs/a.txt", "a");
    WriteFile(src_ + "/docs/old/b.txt", "b");
    // Older than the two seconds within which a time counts as the same.
    for (const char* file : {"/top.txt", "/docs/a.txt", "/docs/old/b.txt"})
      test::SetMtime(src_ + file, 1700000000);
  }

  // The watch, started, its first pass ended. A watch that is still there
  // after a minute is ended, so that a broken one fails instead of hanging.
  test::ChildProcess& StartWatch(std::vector<std::string> switches = {}) {
    switches.insert(switches.begin(), {"--watch", "--watch-delay=0.2"});
    switches.insert(switches.end(), {src_, dst_});
    test::StartOptions options;
    options.inFolder = bin_;
    guard_ = {};
    watch_ = std::make_unique<test::ChildProcess>(switches, options);
    guard_ = std::jthread([watch = watch_.get()](std::stop_token stop) {
      std::mutex mutex;
      std::unique_lock lock(mutex);
      if (!std::condition_variable_any().wait_for(lock, stop, 60s, [] { return false; })) {
        if (!stop.stop_requested()) watch->Signal(SIGKILL);
      }
    });
    EXPECT_TRUE(watch_->ReadOutputUntil("Normal End")) << watch_->Output();
    return *watch_;
  }

  // Reads the log until `passes` passes (the first one included) have ended.
  static bool WaitForPasses(test::ChildProcess& watch, std::size_t passes) {
    return watch.ReadOutputUntil("Normal End", passes);
  }

  bool SameTrees() const { return ListTree(src_) == ListTree(dst_); }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
  std::unique_ptr<test::ChildProcess> watch_;
  std::jthread guard_;  // stopped before the watch goes
};

TEST_F(WatchTest, EachKindOfChangeReachesTheDestinationInAPassOfItsOwn) {
  test::ChildProcess& watch = StartWatch();
  EXPECT_TRUE(SameTrees());

  // An edit: the pass lists the edited file's folder alone.
  WriteFile(src_ + "/docs/a.txt", "edited");
  ASSERT_TRUE(WaitForPasses(watch, 2)) << watch.Output();
  EXPECT_EQ(ReadFile(dst_ + "/docs/a.txt"), "edited");

  // A new folder with files, made in one go.
  MakeDirs(src_ + "/new/deeper");
  WriteFile(src_ + "/new/deeper/c.txt", "c");
  WriteFile(src_ + "/new/d.txt", "d");
  ASSERT_TRUE(WaitForPasses(watch, 3)) << watch.Output();
  EXPECT_EQ(ReadFile(dst_ + "/new/deeper/c.txt"), "c");

  // A folder renamed, and a deletion.
  std::filesystem::rename(src_ + "/docs/old", src_ + "/docs/renamed");
  std::filesystem::remove(src_ + "/top.txt");
  ASSERT_TRUE(WaitForPasses(watch, 4)) << watch.Output();
  EXPECT_TRUE(SameTrees()) << watch.Output();

  const std::string log = watch.Output();
  // A pass over one folder lists that folder, not the tree: the last pass
  // saw the root's entries and those of docs.
  EXPECT_EQ(test::Occurrences(log, "FernwickTreeSyncer Start"), 4u);
  EXPECT_EQ(test::Occurrences(log, "Copy File      : " + src_ + "/docs/a.txt"), 2u);
  EXPECT_EQ(test::Occurrences(log, "Copy File      : " + src_ + "/top.txt"), 1u);

  // SIGTERM while waiting: a clean stop, nothing left behind.
  watch.Signal(SIGTERM);
  const test::ProcessResult ended = watch.Finish();
  EXPECT_EQ(ended.exitCode, 143);
  EXPECT_EQ(ListTree(bin_), (std::vector<std::string>{"FernwickTreeSyncer"}));
}

// As root, a tree with more folders than the watches allowed is watched
// with one mark on its file system; its changes come as inotify's do.
TEST_F(WatchTest, TheWholeFileSystemMarkServesAsInotifyDoes) {
  if (geteuid() != 0) GTEST_SKIP() << "a mark on a whole file system needs root";
  setenv("FTS_WATCH_WITH", "fanotify", 1);
  test::ChildProcess& watch = StartWatch();
  unsetenv("FTS_WATCH_WITH");
  WriteFile(src_ + "/docs/a.txt", "edited");
  ASSERT_TRUE(WaitForPasses(watch, 2)) << watch.Output();
  MakeDirs(src_ + "/new/deeper");
  WriteFile(src_ + "/new/deeper/n.txt", "n");
  ASSERT_TRUE(WaitForPasses(watch, 3)) << watch.Output();
  EXPECT_TRUE(SameTrees());
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Finish().exitCode, 143);
}

// A burst larger than the queue of notifications: the queue overflows, it
// is said once, and a pass over the whole trees brings them into line.
TEST_F(WatchTest, ABurstThatOverflowsTheQueueEndsInAWholePass) {
  const char* limit = "/proc/sys/fs/inotify/max_queued_events";
  std::string saved;
  std::getline(std::ifstream(limit), saved);
  if (geteuid() != 0 || saved.empty()) GTEST_SKIP() << "lowering the queue of changes needs root";
  // The limit is taken when the watch begins: low for this one only.
  std::ofstream(limit) << "64";
  setenv("FTS_WATCH_WITH", "inotify", 1);
  test::ChildProcess& watch = StartWatch();
  unsetenv("FTS_WATCH_WITH");
  std::ofstream(limit) << saved;
  // Held while the burst comes, so that no read makes room in the queue.
  watch.Signal(SIGSTOP);
  for (int i = 0; i < 400; ++i)
    WriteFile(src_ + "/docs/burst" + std::to_string(i) + ".txt", std::to_string(i));
  watch.Signal(SIGCONT);
  ASSERT_TRUE(WaitForPasses(watch, 2)) << watch.Output();
  // More passes may follow until the files stop coming.
  for (int tries = 0; tries < 50 && !SameTrees(); ++tries)
    std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(SameTrees());
  watch.Signal(SIGINT);
  const test::ProcessResult ended = watch.Finish();
  EXPECT_EQ(ended.exitCode, 130);
  EXPECT_NE(ended.err.find("changes may have been missed (the queue of changes overflowed): the "
                           "next pass compares the whole trees"),
            std::string::npos)
      << ended.err;
}

// A share of --max-delete is of the whole destination, not of what one pass
// lists: one deletion of ten entries is 10 %, though half of its folder.
TEST_F(WatchTest, ADeletionLimitWeighsTheWholeDestination) {
  for (int i = 0; i < 6; ++i)
    WriteFile(src_ + "/file" + std::to_string(i) + ".txt", "x");
  WriteFile(src_ + "/docs/old/c.txt", "c");
  test::ChildProcess& watch = StartWatch({"--max-delete=20%"});
  std::filesystem::remove(src_ + "/docs/old/c.txt");
  ASSERT_TRUE(WaitForPasses(watch, 2)) << watch.Output();
  EXPECT_FALSE(test::Exists(dst_ + "/docs/old/c.txt")) << watch.Output();
  // Three of eleven are over the limit: nothing is done, the watch goes on.
  for (int i = 0; i < 3; ++i)
    std::filesystem::remove(src_ + "/file" + std::to_string(i) + ".txt");
  ASSERT_TRUE(watch.ReadOutputUntil("AbNormal End")) << watch.Output();
  EXPECT_NE(watch.Output().find("Deletion Limit Exceeded : 3 of 11 destination entries"),
            std::string::npos)
      << watch.Output();
  EXPECT_TRUE(test::Exists(dst_ + "/file0.txt"));
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Finish().exitCode, 143);
}

// A watch killed outright and started again converges: its first pass
// compares the whole trees.
TEST_F(WatchTest, AKilledWatchStartedAgainConverges) {
  StartWatch().Signal(SIGKILL);
  watch_->Finish();
  WriteFile(src_ + "/docs/a.txt", "changed while no one watched");
  std::filesystem::remove_all(src_ + "/docs/old");
  StartWatch();
  EXPECT_TRUE(SameTrees());
  EXPECT_EQ(ReadFile(dst_ + "/docs/a.txt"), "changed while no one watched");
}

TEST(WatchCommandLineTest, TheWatchSwitchesAreCheckedTogether) {
  test::TempDir dir;
  MakeDirs(dir / "src");
  MakeDirs(dir / "dst");
  MakeDirs(dir / "bin");
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--watch", "--dry-run"},
                                             {"--watch-delay=1"},
                                             {"--watch", "--watch-delay=soon"},
                                             {"--watch", "--rescan=90"},
                                             {"--watch", "--rescan=0s"},
                                             {"--watch", "--rescan=5w"}}) {
    std::vector<std::string> arguments = bad;
    arguments.insert(arguments.end(), {dir / "src", dir / "dst"});
    const auto result = test::RunBinary(arguments, dir / "bin");
    EXPECT_EQ(result.exitCode, 1) << bad.back();
    EXPECT_EQ(result.out, "Invalid Command Line Argument.\n");
    EXPECT_FALSE(result.err.empty());
  }
}

}  // namespace
}  // namespace fts
