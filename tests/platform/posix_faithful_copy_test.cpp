// Faithful copies on a real folder: holes kept, owners, extended attributes
// and ACLs carried, attributes set in place, links kept as links, second
// names, and contents compared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_platform.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ReadFile;
using test::WriteFile;

class PosixFaithfulCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::MakeDirs(dir / "dst");
    auto opened = platform->OpenDestination(dir / "dst");
    ASSERT_TRUE(opened) << opened.status().Message();
    tree = std::move(*opened);
  }

  static struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  static std::string Xattr(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(n));
  }

  test::TempDir dir;
  std::unique_ptr<Platform> platform = MakeSystemPlatform();
  std::unique_ptr<DestinationTree> tree;
};

// Through the kernel's copy and through reads and writes.
class SparseCopyTest : public PosixFaithfulCopyTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Kernel, SparseCopyTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "CopyRange" : "ReadWrite"; });

TEST_P(SparseCopyTest, HolesStayHoles) {
  CopyCalls calls = SystemCopyCalls();
  if (!GetParam()) {
    calls.clone = nullptr;  // a clone would move no bytes at all
    calls.copyRange = nullptr;
  }
  platform = MakePosixPlatform(true, calls);
  tree = std::move(*platform->OpenDestination(dir / "dst"));
  // Data at 1 MiB and 40 MiB, a hole before, between and after them.
  const std::string from = dir / "sparse";
  {
    const int fd = open(from.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data(4096, 'd');
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 1 << 20), 4096);
    ASSERT_EQ(pwrite(fd, "end", 3, 40 << 20), 3);
    ASSERT_EQ(ftruncate(fd, 64 << 20), 0);
    close(fd);
  }
  const struct stat source = Lstat(from);
  if (source.st_blocks * 512 >= (1 << 20)) {
    GTEST_SKIP() << "the temporary folder's file system makes no holes";
  }
  auto copied = tree->CopyFile(from, "sparse");
  ASSERT_TRUE(copied) << copied.status().Message();
  EXPECT_EQ(*copied, 64u << 20);
  const struct stat copy = Lstat(dir / "dst/sparse");
  EXPECT_EQ(copy.st_size, 64 << 20);
  EXPECT_LE(copy.st_blocks, source.st_blocks + 2 * 8);
  EXPECT_EQ(ReadFile(dir / "dst/sparse"), ReadFile(from));
}

TEST_F(PosixFaithfulCopyTest, CarriedOwnerKeepsSetIdBits) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files another owner needs root";
  WriteFile(dir / "from", "x");
  ASSERT_EQ(chown((dir / "from").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod((dir / "from").c_str(), 06750), 0);
  tree->Carry({.owner = true});
  ASSERT_TRUE(tree->CopyFile(dir / "from", "to"));
  const struct stat st = Lstat(dir / "dst/to");
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 06750u);
}

TEST_F(PosixFaithfulCopyTest, ExtendedAttributesAndAclsAreCopiedAsTheyAre) {
  const std::string from = dir / "from";
  WriteFile(from, "x");
  if (setxattr(from.c_str(), "user.colour", "blue", 4, 0) != 0) {
    GTEST_SKIP() << "user extended attributes: " << std::strerror(errno);
  }
  // An access ACL in the system's own form: owner rw, user 1234 r, group r,
  // mask r, others nothing.
  const std::uint32_t version = 2;
  const struct {
    std::uint16_t tag, perm;
    std::uint32_t id;
  } entries[] = {{1, 6, ~0u}, {2, 4, 1234}, {4, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
  std::string acl(reinterpret_cast<const char*>(&version), sizeof version);
  acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
  if (setxattr(from.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "ACLs: " << std::strerror(errno);
  }
  const CarriedItems items{.xattrs = true, .acls = true};
  auto read = platform->ReadAttributes(from, LinkPolicy::kFollow, items);
  ASSERT_TRUE(read) << read.status().Message();
  EXPECT_EQ(read->mode, 0640u);
  std::erase_if(read->extended, [](const auto& attribute) {
    return attribute.first.starts_with("security.");  // a label the system gives, as root
  });
  ASSERT_EQ(read->extended.size(), 2u);
  EXPECT_EQ(read->extended[0], std::make_pair(std::string("system.posix_acl_access"), acl));
  EXPECT_EQ(read->extended[1], std::make_pair(std::string("user.colour"), std::string("blue")));

  // Only the kinds carried.
  tree->Carry({.acls = true});
  ASSERT_TRUE(tree->CopyFile(from, "acl-only"));
  EXPECT_EQ(Xattr(dir / "dst/acl-only", "system.posix_acl_access"), acl);
  EXPECT_EQ(Xattr(dir / "dst/acl-only", "user.colour"), "(none)");

  tree->Carry(items);
  ASSERT_TRUE(tree->CopyFile(from, "both"));
  EXPECT_EQ(Xattr(dir / "dst/both", "system.posix_acl_access"), acl);
  EXPECT_EQ(Xattr(dir / "dst/both", "user.colour"), "blue");
  EXPECT_EQ(Lstat(dir / "dst/both").st_mode & 07777, 0640u);

  // Set in place: the ones of the carried kinds the attributes lack go.
  EntryAttributes attributes = *read;
  attributes.extended = {{"user.shape", "round"}};
  ASSERT_TRUE(tree->SetAttributes("both", attributes));
  EXPECT_EQ(Xattr(dir / "dst/both", "user.colour"), "(none)");
  EXPECT_EQ(Xattr(dir / "dst/both", "user.shape"), "round");
  EXPECT_EQ(Xattr(dir / "dst/both", "system.posix_acl_access"), "(none)");

  // A folder made with a default ACL and an attribute.
  attributes.mode = 02750;
  attributes.extended = {{"system.posix_acl_default", acl}, {"user.colour", "red"}};
  ASSERT_TRUE(tree->MakeDirectoryWith("folder", attributes));
  EXPECT_EQ(Lstat(dir / "dst/folder").st_mode & 07777, 02750u);
  EXPECT_EQ(Xattr(dir / "dst/folder", "system.posix_acl_default"), acl);
  EXPECT_EQ(Xattr(dir / "dst/folder", "user.colour"), "red");
}

TEST_F(PosixFaithfulCopyTest, SetAttributesChangesTheEntryInPlace) {
  WriteFile(dir / "dst/file", "x");
  test::MakeDirs(dir / "dst/folder");
  const ino_t inode = Lstat(dir / "dst/file").st_ino;
  EntryAttributes attributes;
  attributes.mode = 0604;
  attributes.lastWrite = {1500000000, 500};
  ASSERT_TRUE(tree->SetAttributes("file", attributes));
  const struct stat st = Lstat(dir / "dst/file");
  EXPECT_EQ(st.st_ino, inode);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500);
  EXPECT_EQ(ReadFile(dir / "dst/file"), "x");

  // A folder takes the permission bits, not the time.
  attributes.mode = 0711;
  ASSERT_TRUE(tree->SetAttributes("folder", attributes));
  EXPECT_EQ(Lstat(dir / "dst/folder").st_mode & 07777, 0711u);
  EXPECT_NE(Lstat(dir / "dst/folder").st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(tree->SetAttributes("missing", attributes).Cause(), "No such file or directory");
}

TEST_F(PosixFaithfulCopyTest, MakeLinkKeepsItsTextAndReplaces) {
  EntryAttributes attributes;
  attributes.lastWrite = {1400000000, 0};
  ASSERT_TRUE(tree->MakeLink("link", "../nowhere/x", attributes, DestinationTree::Replace::kNo));
  auto text = platform->ReadLinkTarget(dir / "dst/link");
  ASSERT_TRUE(text) << text.status().Message();
  EXPECT_EQ(*text, "../nowhere/x");
  EXPECT_EQ(Lstat(dir / "dst/link").st_mtim.tv_sec, 1400000000);
  EXPECT_EQ(tree->MakeLink("link", "y", attributes, DestinationTree::Replace::kNo).Cause(),
            "File exists");

  // Over a file, with a text longer than a first guess at its length.
  WriteFile(dir / "dst/file", "goes");
  std::string longText;
  while (longText.size() < 300)
    longText += "folder/";
  ASSERT_TRUE(tree->MakeLink("file", longText, attributes, DestinationTree::Replace::kYes));
  EXPECT_EQ(*platform->ReadLinkTarget(dir / "dst/file"), longText);
  EXPECT_EQ(test::ListTree(dir / "dst"), (std::vector<std::string>{"file", "link"}));

  // The listing tells of the link as itself.
  auto listing = platform->OpenDirectory(dir / "dst", nullptr, "", LinkPolicy::kDoNotFollow);
  ASSERT_TRUE(listing);
  std::string name;
  DirEntryInfo info;
  while ((*listing)->Next(name, info) && name != "link") {
  }
  EXPECT_TRUE(info.isSymlink);
  EXPECT_EQ(info.size, 12u);
}

TEST_F(PosixFaithfulCopyTest, LinkFileGivesASecondName) {
  WriteFile(dir / "dst/a", "shared");
  chmod((dir / "dst/a").c_str(), 0640);
  test::MakeDirs(dir / "dst/sub");
  WriteFile(dir / "dst/sub/c", "other");
  ASSERT_TRUE(tree->LinkFile("a", "sub/b", DestinationTree::Replace::kNo));
  EXPECT_EQ(Lstat(dir / "dst/sub/b").st_ino, Lstat(dir / "dst/a").st_ino);
  EXPECT_EQ(tree->LinkFile("a", "sub/c", DestinationTree::Replace::kNo).Cause(), "File exists");
  ASSERT_TRUE(tree->LinkFile("a", "sub/c", DestinationTree::Replace::kYes));
  EXPECT_EQ(ReadFile(dir / "dst/sub/c"), "shared");
  // Over a name the file has already: nothing changes, nothing is left.
  ASSERT_TRUE(tree->LinkFile("a", "sub/c", DestinationTree::Replace::kYes));
  EXPECT_EQ(test::ListTree(dir / "dst"), (std::vector<std::string>{"a", "sub/", "sub/b", "sub/c"}));

  // The listing tells of the names, the owner and the permission bits.
  auto listing = platform->OpenDirectory(dir / "dst", nullptr, "", LinkPolicy::kFollow);
  ASSERT_TRUE(listing);
  std::string name;
  DirEntryInfo info;
  while ((*listing)->Next(name, info) && name != "a") {
  }
  EXPECT_EQ(info.linkCount, 3u);
  EXPECT_EQ(info.size, 6u);
  EXPECT_EQ(info.mode, 0640u);
  EXPECT_EQ(info.owner, geteuid());
}

TEST_F(PosixFaithfulCopyTest, SameContentsComparesBytes) {
  std::string big(300 << 10, 'b');
  WriteFile(dir / "one", big);
  WriteFile(dir / "same", big);
  big.back() = 'c';
  WriteFile(dir / "last", big);
  WriteFile(dir / "short", "b");
  EXPECT_TRUE(*platform->SameContents(dir / "one", dir / "same"));
  EXPECT_FALSE(*platform->SameContents(dir / "one", dir / "last"));
  EXPECT_FALSE(*platform->SameContents(dir / "one", dir / "short"));
  EXPECT_EQ(platform->SameContents(dir / "one", dir / "dst").status().Cause(),
            "Not a regular file");
  EXPECT_FALSE(platform->SameContents(dir / "one", dir / "missing").ok());
}

}  // namespace
}  // namespace fts
