// Full disks, failing devices and broken inventories: each gives a clear
// failure, never a corrupted or partial file, and the run ends as it must.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/posix_platform.h"
#include "run/run_driver.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr std::string_view kAbnormalEnd =
    "******** FernwickTreeSyncer AbNormal End ***************************************";

// A tmpfs of `size` mounted on `path` for the test's time; where the test
// may not mount one, Mounted() is false.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    MakeDirs(path);
    const std::string options = std::string("size=") + size;
    mounted_ = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

class FailurePathTest : public ::testing::Test {
 protected:
  FailurePathTest() {
    for (const auto& folder : {src_, dst_, bin_})
      MakeDirs(folder);
    WriteFile(src_ + "/a.txt", "a");
    WriteFile(src_ + "/big.bin", std::string(3 << 20, 'b'));
    WriteFile(src_ + "/z.txt", "z");
    WriteFile(dst_ + "/old.txt", "old");
  }

  // The line after `line` in `out`, without its stamp.
  static std::string LineAfter(const std::string& out, const std::string& line) {
    const Lines log = WithoutStamps(out);
    const auto found = std::find(log.begin(), log.end(), line);
    return found == log.end() || found + 1 == log.end() ? "(none)" : *(found + 1);
  }

  std::string CopyLine(const std::string& name) const {
    return "Copy File      : " + src_ + "/" + name + " -> " + dst_ + "/" + name;
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
};

struct PosixPlatformHolder {
  std::unique_ptr<Platform> posix;
};

// The real platform whose copies move their bytes through chosen calls.
// The holder comes first, so that the platform exists before it is
// forwarded to.
class CopyCallsPlatform : private PosixPlatformHolder, public ForwardingPlatform {
 public:
  CopyCallsPlatform(CopyCalls calls, bool unnamedFiles)
      : PosixPlatformHolder{MakePosixPlatform(unnamedFiles, calls)}, ForwardingPlatform(*posix) {}
  std::string ExecutableFolder() override { return exeFolder; }
  void WriteStdout(std::string_view text) override { out.append(text); }
  void WriteStderr(std::string_view text) override { err.append(text); }
  std::string exeFolder, out, err;
};

// A copy that does not fit fails on its own: no partial file, no temporary
// name, and the run goes on to the next copy.
TEST_F(FailurePathTest, ACopyThatDoesNotFitFailsAloneAndLeavesNothing) {
  SmallFileSystem small(dst_, "1m");
  if (!small.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root; skipped";
  WriteFile(dst_ + "/old.txt", "old");
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 3);
  EXPECT_EQ(LineAfter(platform.out, CopyLine("big.bin")),
            "Action Failed    : No space left on device");
  EXPECT_EQ(ListTree(dst_), (Lines{"a.txt", "z.txt"}));
  EXPECT_EQ(ReadFile(dst_ + "/z.txt"), "z");
  EXPECT_EQ(WithoutStamps(platform.out).back(), kAbnormalEnd);
  EXPECT_EQ(ListTree(bin_), Lines{});
}

// The same full disk where the test may not mount one, and without unnamed
// files: the copy's writes fail.
TEST_F(FailurePathTest, AFullDiskFailsTheCopyWithoutAPartialFile) {
  CopyCalls calls = SystemCopyCalls();
  calls.clone = nullptr;  // the bytes go through the calls below
  calls.copyRange = nullptr;
  calls.write = [](int fd, const void* buffer, std::size_t size) -> ssize_t {
    if (lseek(fd, 0, SEEK_CUR) >= 1 << 20) {
      errno = ENOSPC;
      return -1;
    }
    return ::write(fd, buffer, size);
  };
  CopyCallsPlatform platform(calls, false);
  platform.exeFolder = bin_ + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 3);
  EXPECT_EQ(LineAfter(platform.out, CopyLine("big.bin")),
            "Action Failed    : No space left on device");
  EXPECT_EQ(ListTree(dst_), (Lines{"a.txt", "z.txt"}));
}

// A disk that big.bin fills while the small copies write: they meet the full
// disk too, and are held until it is full. One at a time they would have
// fitted, so they are tried again alone and the log is the log of one
// action at a time.
namespace shared_disk {
enum Phase { kBefore, kFull, kFreed };
std::atomic<int> phase{kBefore};
std::atomic<int> refused{0};

// Waits at most five seconds for `ready`.
template <typename Ready>
void WaitFor(Ready ready) {
  for (int i = 0; i < 5000 && !ready(); ++i)
    usleep(1000);
}

ssize_t Write(int fd, const void* buffer, std::size_t size) {
  if (lseek(fd, 0, SEEK_CUR) >= 1 << 20) {  // big.bin fills the disk
    int before = kBefore;
    if (phase.compare_exchange_strong(before, kFull)) {
      WaitFor([] { return refused >= 2; });
      phase = kFreed;
    }
    errno = ENOSPC;
    return -1;
  }
  if (size < 16) {  // a.txt or z.txt
    WaitFor([] { return phase != kBefore; });
    if (phase == kFull) {
      ++refused;
      errno = ENOSPC;
      return -1;
    }
  }
  return ::write(fd, buffer, size);
}
}  // namespace shared_disk

TEST_F(FailurePathTest, ACopyThatFillsTheDiskMakesNoOtherCopyFail) {
  shared_disk::phase = shared_disk::kBefore;
  shared_disk::refused = 0;
  CopyCalls calls = SystemCopyCalls();
  calls.clone = nullptr;  // the bytes go through the calls below
  calls.copyRange = nullptr;
  calls.write = shared_disk::Write;
  CopyCallsPlatform platform(calls, true);
  platform.exeFolder = bin_ + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({"--jobs=4", src_, dst_}, platform), 3);
  EXPECT_EQ(shared_disk::refused, 2);
  const Lines log = WithoutStamps(platform.out);
  EXPECT_EQ(
      std::count_if(log.begin(), log.end(),
                    [](const std::string& line) { return line.starts_with("Action Failed"); }),
      1);
  EXPECT_EQ(LineAfter(platform.out, CopyLine("big.bin")),
            "Action Failed    : No space left on device");
  EXPECT_EQ(LineAfter(platform.out, CopyLine("a.txt")), CopyLine("big.bin"));
  EXPECT_EQ(ListTree(dst_), (Lines{"a.txt", "z.txt"}));
  EXPECT_EQ(ReadFile(dst_ + "/z.txt"), "z");
}

// A read error halfway through a source file fails that copy only.
TEST_F(FailurePathTest, AReadErrorHalfwayFailsThatCopyOnly) {
  CopyCalls calls = SystemCopyCalls();
  calls.clone = nullptr;  // the bytes go through the calls below
  calls.copyRange = nullptr;
  calls.read = [](int fd, void* buffer, std::size_t size) -> ssize_t {
    if (lseek(fd, 0, SEEK_CUR) >= 1 << 20) {
      errno = EIO;
      return -1;
    }
    return ::read(fd, buffer, size);
  };
  CopyCallsPlatform platform(calls, true);
  platform.exeFolder = bin_ + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 3);
  EXPECT_EQ(LineAfter(platform.out, CopyLine("big.bin")), "Action Failed    : Input/output error");
  EXPECT_EQ(ListTree(dst_), (Lines{"a.txt", "z.txt"}));
  EXPECT_EQ(ListTree(bin_), Lines{});
}

// A full folder for the inventories ends the run before any action: nothing
// in the destination changes and no inventory stays.
TEST_F(FailurePathTest, AFullInventoryFolderEndsTheRunBeforeAnyAction) {
  SmallFileSystem small(bin_, "8k");
  if (!small.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root; skipped";
  for (int i = 0; i < 300; ++i)
    WriteFile(src_ + "/file-with-a-long-name-" + std::to_string(i) + ".txt", "");
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 1);
  EXPECT_TRUE(WithoutStamps(platform.out)
                  .back()
                  .starts_with("Unhandled Error : Inventory I/O error: cannot write " + bin_ +
                               "/tmp_CopyFromPath.txt: "
                               "No space left on device"))
      << platform.out;
  EXPECT_EQ(ListTree(dst_), Lines{"old.txt"});
  EXPECT_EQ(ListTree(bin_), Lines{});
}

// Writes and closes of either inventory that fail, on either side (the
// destination is listed on a second thread): the run ends as an unhandled
// error, changes nothing and leaves no inventory.
TEST_F(FailurePathTest, AFailingInventoryWriteOrCloseEndsTheRun) {
  for (const std::string side : {"tmp_CopyFromPath.txt", "tmp_CopyToPath.txt"}) {
    for (const std::string operation : {"write", "close"}) {
      test::FaultPlatform platform;
      platform.exeFolder = bin_ + "/";
      platform.fileFault = [&](const std::string& path, std::string_view what) {
        return path.ends_with(side) && what == operation
                   ? Status::Error(what, path, "Input/output error")
                   : Status::Ok();
      };
      EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 1) << side << operation;
      EXPECT_EQ(WithoutStamps(platform.out).back(),
                "Unhandled Error : Inventory I/O error: cannot " + operation + " " + bin_ + "/" +
                    side + ": Input/output error");
      EXPECT_EQ(ListTree(dst_), Lines{"old.txt"});
      EXPECT_EQ(ListTree(bin_), Lines{});
    }
  }
}

// An inventory record that makes no sense (changed from outside during the
// run) ends the run before any action.
TEST_F(FailurePathTest, ACorruptInventoryRecordEndsTheRun) {
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  platform.beforeReading = [&](const std::string& path) {
    if (!path.ends_with("tmp_CopyToPath.txt")) return;
    std::string bytes = ReadFile(path);
    bytes.replace(bytes.find("\",\"0\",\""), 7, "\",\"x\",\"");
    WriteFile(path, bytes);
  };
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 1);
  EXPECT_EQ(WithoutStamps(platform.out).back(),
            "Unhandled Error : Convert error: cannot convert 'x': not a valid integer value");
  EXPECT_EQ(ListTree(dst_), Lines{"old.txt"});
  EXPECT_EQ(ListTree(bin_), Lines{});
}

// An inventory that cannot be deleted at the end is told on standard error;
// the run's exit code stays what the mirror earned.
TEST_F(FailurePathTest, AFailedCleanUpDeleteIsToldAndTheExitCodeStays) {
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  platform.fileFault = [&](const std::string& path, std::string_view what) {
    return what == "delete" ? Status::Error(what, path, "Device or resource busy") : Status::Ok();
  };
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 0);
  EXPECT_EQ(platform.err, "FernwickTreeSyncer: cannot delete " + bin_ +
                              "/tmp_CopyFromPath.txt: Device or resource busy\n"
                              "FernwickTreeSyncer: cannot delete " +
                              bin_ + "/tmp_CopyToPath.txt: Device or resource busy\n");
  EXPECT_EQ(ListTree(dst_), ListTree(src_));
}

}  // namespace
}  // namespace fts
