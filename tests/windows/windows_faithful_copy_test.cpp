// Faithful copies on Windows: contents compared, the read-only attribute
// and the time set in place, sparse files copied with their holes, and the
// listing's size and permission value.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/windows_paths.h"
#include "platform/windows_system.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

constexpr long long kSomeTicks = 133590277860000000LL;  // 2024-05-01 09:03:06 UTC
constexpr FileTime kSomeTime{1714554186, 500000000};    // the same, and half a second
constexpr std::int64_t kSparseSize = 16 << 20;
constexpr std::int64_t kTailAt = 8 << 20;

Handle Open(const std::string& path, DWORD access, DWORD disposition = OPEN_EXISTING) {
  return Handle(CreateFileW(SystemPath(path).c_str(), access, kShareAll, nullptr, disposition,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

BY_HANDLE_FILE_INFORMATION InformationOf(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION information{};
  EXPECT_TRUE(GetFileInformationByHandle(Open(path, FILE_READ_ATTRIBUTES).Get(), &information));
  return information;
}

// The space the file takes on disk, as the file system tells it.
std::int64_t AllocationOf(const std::string& path) {
  FILE_STANDARD_INFO standard{};
  EXPECT_TRUE(GetFileInformationByHandleEx(Open(path, FILE_READ_ATTRIBUTES).Get(), FileStandardInfo,
                                           &standard, sizeof standard));
  return standard.AllocationSize.QuadPart;
}

// A 16 MiB file with "head" at its start and "tail" at 8 MiB, marked sparse
// first where the system lets it: the rest is holes.
void WriteSparseFile(const std::string& path) {
  Handle file = Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(file.Valid());
  DWORD unused = 0;
  DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  OVERLAPPED start{};
  ASSERT_TRUE(WriteFile(file.Get(), "head", 4, &unused, &start));
  OVERLAPPED tail{};
  tail.Offset = static_cast<DWORD>(kTailAt);
  ASSERT_TRUE(WriteFile(file.Get(), "tail", 4, &unused, &tail));
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = kSparseSize;
  ASSERT_TRUE(SetFileInformationByHandle(file.Get(), FileEndOfFileInfo, &end, sizeof end));
}

EntryAttributes Attributes(std::uint32_t mode, FileTime lastWrite = {}) {
  EntryAttributes attributes;
  attributes.mode = mode;
  attributes.lastWrite = lastWrite;
  return attributes;
}

class WindowsFaithfulCopyTest : public ::testing::Test {
 protected:
  WindowsFaithfulCopyTest() {
    test::MakeFolder(dst_);
    auto opened = platform_->OpenDestination(dst_);
    EXPECT_TRUE(opened) << opened.status().Message();
    tree_ = std::move(*opened);
  }
  std::string Dst(const std::string& name) const { return dst_ + "\\" + name; }
  // Whether two files hold the same bytes; a failure to tell fails the test.
  bool Same(const std::string& first, const std::string& second) {
    auto same = platform_->SameContents(first, second);
    EXPECT_TRUE(same) << same.status().Message();
    return same.ok() && *same;
  }

  std::unique_ptr<Platform> platform_ = MakeSystemPlatform();
  test::WindowsTempDir dir_;
  const std::string dst_ = dir_ / "dst";
  std::unique_ptr<DestinationTree> tree_;
};

TEST_F(WindowsFaithfulCopyTest, SameContentsReadsUpToTheFirstDifference) {
  const std::string big(3 << 19, 'x');  // more than one block of the comparison
  test::WriteTextFile(dir_ / "a", big);
  test::WriteTextFile(dir_ / "b", big);
  test::WriteTextFile(dir_ / "c", big.substr(1) + "y");
  test::WriteTextFile(dir_ / "d", big.substr(1));
  EXPECT_TRUE(Same(dir_ / "a", dir_ / "b"));
  EXPECT_FALSE(Same(dir_ / "a", dir_ / "c"));
  EXPECT_FALSE(Same(dir_ / "a", dir_ / "d"));
  EXPECT_FALSE(platform_->SameContents(dir_ / "a", dir_ / "missing"));
}

TEST_F(WindowsFaithfulCopyTest, SetAttributesChangesTheReadOnlyAttributeAndTimeInPlace) {
  const std::string file = Dst("f.txt");
  test::WriteTextFile(file, "kept");
  const BY_HANDLE_FILE_INFORMATION before = InformationOf(file);
  ASSERT_TRUE(tree_->SetAttributes("f.txt", Attributes(0444, kSomeTime)));
  EXPECT_TRUE(test::AttributesOf(file) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(test::LastWriteTicks(file), kSomeTicks + 5000000);
  auto read = platform_->ReadAttributes(file, LinkPolicy::kDoNotFollow, {});
  ASSERT_TRUE(read) << read.status().Message();
  EXPECT_EQ(read->mode, 0444u);
  EXPECT_EQ(read->lastWrite.seconds, kSomeTime.seconds);
  EXPECT_EQ(read->lastWrite.nanoseconds, kSomeTime.nanoseconds);

  // Writable again, and a time set on a file that was read-only.
  ASSERT_TRUE(tree_->SetAttributes("f.txt", Attributes(0666, {1714554186, 0})));
  EXPECT_FALSE(test::AttributesOf(file) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(test::LastWriteTicks(file), kSomeTicks);
  EXPECT_EQ(test::ReadTextFile(file), "kept");
  const BY_HANDLE_FILE_INFORMATION after = InformationOf(file);
  if (before.nFileIndexHigh != 0 || before.nFileIndexLow != 0) {
    EXPECT_EQ(after.nFileIndexLow, before.nFileIndexLow);
    EXPECT_EQ(after.nFileIndexHigh, before.nFileIndexHigh);
  }
}

TEST_F(WindowsFaithfulCopyTest, FoldersAreMadeAndKeptReadOnlyAsAsked) {
  ASSERT_TRUE(tree_->MakeDirectoryWith("rw", Attributes(0755)));
  EXPECT_FALSE(test::AttributesOf(Dst("rw")) & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(tree_->MakeDirectoryWith("rw", Attributes(0755)));
  ASSERT_TRUE(tree_->MakeDirectoryWith("ro", Attributes(0555)));
  if (!(test::AttributesOf(Dst("ro")) & FILE_ATTRIBUTE_READONLY)) {
    test::SetAttributes(Dst("rw"), FILE_ATTRIBUTE_READONLY);
    if (!(test::AttributesOf(Dst("rw")) & FILE_ATTRIBUTE_READONLY)) {
      GTEST_SKIP() << "this system keeps no read-only attribute on folders";
    }
  }
  EXPECT_TRUE(test::AttributesOf(Dst("ro")) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(platform_->ReadAttributes(Dst("ro"), LinkPolicy::kFollow, {})->mode, 0555u);
  ASSERT_TRUE(tree_->SetAttributes("ro", Attributes(0777)));
  EXPECT_FALSE(test::AttributesOf(Dst("ro")) & FILE_ATTRIBUTE_READONLY);
  test::SetAttributes(Dst("rw"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsFaithfulCopyTest, TheListingGivesSizesAndPermissionValues) {
  test::WriteTextFile(Dst("plain"), std::string(12345, 'p'));
  test::WriteTextFile(Dst("locked"), "l");
  test::SetAttributes(Dst("locked"), FILE_ATTRIBUTE_READONLY);
  test::MakeFolder(Dst("sub"));
  auto listing = platform_->OpenDirectory(dst_, nullptr, {}, LinkPolicy::kDoNotFollow);
  ASSERT_TRUE(listing);
  std::map<std::string, DirEntryInfo> entries;
  std::string name;
  for (DirEntryInfo info; (*listing)->Next(name, info);) {
    entries[name] = info;
  }
  EXPECT_EQ(entries["plain"].size, 12345u);
  EXPECT_EQ(entries["plain"].mode, 0666u);
  EXPECT_EQ(entries["plain"].owner, 0u);
  EXPECT_EQ(entries["plain"].linkCount, 1u);
  EXPECT_EQ(entries["locked"].mode, 0444u);
  EXPECT_EQ(entries["sub"].mode, 0777u);
  test::SetAttributes(Dst("locked"), FILE_ATTRIBUTE_NORMAL);  // so that it can go
}

// The copy of the ranges alone, which a sparse copy makes where the system
// tells them, leaves the rest as holes.
TEST_F(WindowsFaithfulCopyTest, CopiedRangesLeaveHolesBetweenThem) {
  WriteSparseFile(dir_ / "in");
  Handle out = Open(dir_ / "out", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  DWORD unused = 0;
  DeviceIoControl(out.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  ASSERT_TRUE(CopyRanges(Open(dir_ / "in", GENERIC_READ).Get(), "in", out.Get(), "out",
                         {{0, 4}, {kTailAt, 4}}, kSparseSize));
  out.Reset();
  EXPECT_TRUE(Same(dir_ / "in", dir_ / "out"));
  EXPECT_EQ(platform_->SizeOf(dir_ / "out"), std::uint64_t{kSparseSize});
  if (AllocationOf(dir_ / "out") >= kSparseSize) {
    GTEST_SKIP() << "this file system shows no holes";
  }
  EXPECT_LT(AllocationOf(dir_ / "out"), kSparseSize / 2);
}

TEST_F(WindowsFaithfulCopyTest, ASparseFileIsCopiedWithItsHoles) {
  WriteSparseFile(dir_ / "in");
  auto copied = tree_->CopyFile(dir_ / "in", "copy");
  ASSERT_TRUE(copied) << copied.status().Message();
  EXPECT_EQ(*copied, std::uint64_t{kSparseSize});
  EXPECT_TRUE(Same(dir_ / "in", Dst("copy")));
  if (!(test::AttributesOf(dir_ / "in") & FILE_ATTRIBUTE_SPARSE_FILE)) {
    GTEST_SKIP() << "this system does not mark files sparse (it takes FSCTL_SET_SPARSE and "
                    "ignores it): the copy was a plain one";
  }
  if (!AllocatedRanges(Open(dir_ / "in", GENERIC_READ).Get(), kSparseSize)) {
    GTEST_SKIP() << "this system does not tell the ranges of a sparse file that hold data";
  }
  EXPECT_TRUE(test::AttributesOf(Dst("copy")) & FILE_ATTRIBUTE_SPARSE_FILE);
  EXPECT_LT(AllocationOf(Dst("copy")), kSparseSize / 2);
}

}  // namespace
}  // namespace fts
