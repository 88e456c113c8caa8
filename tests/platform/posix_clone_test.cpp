// Copies that share their source's blocks: on a file system that can clone
// (btrfs, XFS with reflink), a copy within it shares every extent with its
// source, and is otherwise what a byte copy is: contents, length, time,
// permission bits and holes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_platform.h"
#include "support/mounted_file_system.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ReadFile;

struct Extents {
  int count = 0;
  int shared = 0;
};

// The file's extents as the kernel maps them, and how many are shared.
Extents ExtentsOf(const std::string& path) {
  Extents extents;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return extents;
  constexpr unsigned kMost = 64;
  std::vector<char> buffer(sizeof(fiemap) + kMost * sizeof(fiemap_extent));
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kMost;
  if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
      ++extents.count;
      if ((map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0) ++extents.shared;
    }
  }
  close(fd);
  return extents;
}

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random());
  return bytes;
}

class PosixCloneTest : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(FileSystem, PosixCloneTest, ::testing::Values("btrfs", "xfs"),
                         [](const auto& info) { return std::string(info.param); });

// The real binary, once into the same file system (a clone) and once into
// the temporary folder, another file system (bytes copied).
TEST_P(PosixCloneTest, ACopyWithinTheFileSystemSharesItsBlocksAndIsAByteCopyToReaders) {
  test::TempDir dir;
  test::MountedFileSystem mount(GetParam());
  if (!mount.Mounted()) GTEST_SKIP() << mount.SkipReason();
  const std::string src = mount.MountPoint() + "/src";
  const std::string cloned = mount.MountPoint() + "/dst";
  const std::string bytes = dir / "bytes";
  for (const auto& folder : {src, cloned, bytes, dir / "bin"})
    test::MakeDirs(folder);

  // 1 MiB of data, not a whole number of blocks, and a 64 MiB file with
  // data at 1 MiB and at 40 MiB only.
  test::WriteFile(src + "/data.bin", RandomBytes((1 << 20) + 123, 1));
  {
    const int fd = open((src + "/sparse.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data = RandomBytes(64 << 10, 2);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 1 << 20), 64 << 10);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 40 << 20), 64 << 10);
    ASSERT_EQ(ftruncate(fd, 64 << 20), 0);
    close(fd);
  }
  ASSERT_EQ(chmod((src + "/data.bin").c_str(), 0640), 0);
  ASSERT_EQ(chmod((src + "/sparse.bin").c_str(), 0604), 0);
  test::SetMtime(src + "/data.bin", 1580000000, 123456789);
  test::SetMtime(src + "/sparse.bin", 1590000000, 987654321);

  for (const auto& to : {cloned, bytes}) {
    const auto run = test::RunBinary({src, to}, dir / "bin");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  }
  // The kernel's copy_file_range may share blocks by itself; without it,
  // only the clone can.
  const std::string cloneOnly = mount.MountPoint() + "/clone-only";
  test::MakeDirs(cloneOnly);
  CopyCalls calls = SystemCopyCalls();
  calls.copyRange = nullptr;
  auto platform = MakePosixPlatform(true, calls);
  auto tree = platform->OpenDestination(cloneOnly);
  ASSERT_TRUE(tree) << tree.status().Message();
  for (const char* name : {"data.bin", "sparse.bin"}) {
    ASSERT_TRUE((*tree)->CopyFile(src + "/" + name, name));
    const Extents extents = ExtentsOf(cloneOnly + "/" + name);
    EXPECT_EQ(extents.shared, extents.count) << name;
    EXPECT_EQ(ReadFile(cloneOnly + "/" + name), ReadFile(src + "/" + name));
  }

  for (const char* name : {"/data.bin", "/sparse.bin"}) {
    SCOPED_TRACE(name);
    const struct stat source = Stat(src + name);
    const struct stat clone = Stat(cloned + name);
    const struct stat copy = Stat(bytes + name);
    const Extents extents = ExtentsOf(cloned + name);
    EXPECT_GT(extents.count, 0);
    EXPECT_EQ(extents.shared, extents.count) << "every extent of the copy is shared";
    EXPECT_EQ(ExtentsOf(bytes + name).shared, 0);
    EXPECT_EQ(ReadFile(cloned + name), ReadFile(src + name));
    EXPECT_EQ(ReadFile(bytes + name), ReadFile(cloned + name));
    EXPECT_EQ(clone.st_size, source.st_size);
    EXPECT_EQ(clone.st_size, copy.st_size);
    EXPECT_EQ(clone.st_mode, copy.st_mode);
    EXPECT_EQ(clone.st_mode & 07777, source.st_mode & 07777);
    EXPECT_EQ(clone.st_mtim.tv_sec, copy.st_mtim.tv_sec);
    EXPECT_EQ(clone.st_mtim.tv_nsec, copy.st_mtim.tv_nsec);
    EXPECT_EQ(clone.st_mtim.tv_sec, source.st_mtim.tv_sec);
    EXPECT_EQ(clone.st_mtim.tv_nsec, source.st_mtim.tv_nsec);
  }
  // The holes stay holes: the clone maps the source's two extents, no more.
  const struct stat sparse = Stat(cloned + "/sparse.bin");
  EXPECT_LE(sparse.st_blocks, Stat(src + "/sparse.bin").st_blocks);
  EXPECT_LT(sparse.st_blocks * 512, 1 << 20);
  const int fd = open((cloned + "/sparse.bin").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(lseek(fd, 0, SEEK_DATA), 1 << 20);
  EXPECT_EQ(lseek(fd, 1 << 20, SEEK_HOLE), (1 << 20) + (64 << 10));
  close(fd);
}

// A file system that refuses to clone is asked once per destination tree:
// every later copy goes straight to the bytes.
std::atomic<int> cloneCalls{0};

TEST(PosixCloneRefusedTest, ARefusedCloneIsNotTriedAgainAndTheBytesAreCopied) {
  test::TempDir dir;
  test::MakeDirs(dir / "dst");
  CopyCalls calls = SystemCopyCalls();
  calls.clone = [](int, int) {
    ++cloneCalls;
    errno = EOPNOTSUPP;
    return -1;
  };
  auto platform = MakePosixPlatform(true, calls);
  auto tree = platform->OpenDestination(dir / "dst");
  ASSERT_TRUE(tree) << tree.status().Message();
  for (const std::string name : {"a", "b", "c"}) {
    test::WriteFile(dir / name, RandomBytes(5000, 3) + name);
    auto copied = (*tree)->CopyFile(dir / name, name);
    ASSERT_TRUE(copied) << copied.status().Message();
    EXPECT_EQ(ReadFile(dir / ("dst/" + name)), ReadFile(dir / name));
  }
  EXPECT_EQ(cloneCalls, 1);
}

}  // namespace
}  // namespace fts
