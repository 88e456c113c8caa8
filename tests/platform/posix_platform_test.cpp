#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix_platform.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::TempDir;

TEST(PosixPlatformTest, CreateNewFileTellsATakenNameFromAnUnwritableFolder) {
  TempDir dir;
  auto platform = MakeSystemPlatform();
  test::MakeDirs(dir / "taken");
  EXPECT_EQ(platform->CreateNewFile(dir / "taken").outcome, CreateOutcome::kNameTaken);
  EXPECT_EQ(platform->CreateNewFile(dir / "missing/x").outcome, CreateOutcome::kFailed);
  auto created = platform->CreateNewFile(dir / "new");
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  EXPECT_EQ(platform->CreateNewFile(dir / "new").outcome, CreateOutcome::kNameTaken);
}

TEST(PosixPlatformTest, ANewFileIsHeldUntilItsHoldGoes) {
  TempDir dir;
  auto platform = MakeSystemPlatform();
  const std::string name = dir / "tmp_CopyToPath.txt";
  CreateResult created = platform->CreateNewFile(name);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  ASSERT_TRUE(created.file->Append("File\",\"", 7));
  ASSERT_TRUE(created.file->Close());
  // Closed for writing, still held: no other run can take it.
  EXPECT_EQ(platform->HoldFile(name).outcome, HoldOutcome::kHeldElsewhere);
  created.hold.reset();

  HoldResult taken = platform->HoldFile(name);
  ASSERT_EQ(taken.outcome, HoldOutcome::kHeld) << taken.status.Message();
  EXPECT_EQ(platform->HoldFile(name).outcome, HoldOutcome::kHeldElsewhere);
  const auto start = taken.hold->ReadStart(16);
  ASSERT_TRUE(start);
  EXPECT_EQ(*start, "File\",\"");
  EXPECT_TRUE(taken.hold->DeleteAndRelease());
  EXPECT_FALSE(test::Exists(name));
  EXPECT_EQ(platform->HoldFile(name).outcome, HoldOutcome::kFailed);
  // A folder is nothing to hold.
  test::MakeDirs(dir / "folder");
  EXPECT_EQ(platform->HoldFile(dir / "folder").outcome, HoldOutcome::kFailed);
}

TEST(PosixPlatformTest, SystemProgramFoldersAreWherePackagesPutPrograms) {
  for (const char* path :
       {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/bin", "/sbin", "/usr/games",
        "/usr/libexec", "/usr/libexec/fts", "/usr/lib/fts/helpers", "/usr/local/libexec/fts",
        "/opt/fts/bin", "/opt/fts/sbin", "/opt/fts/libexec/tools"})
    EXPECT_TRUE(IsSystemProgramPath(path)) << path;
  // A program's own folder, a build folder, and names that only begin alike.
  for (const char* path :
       {"/", "/usr", "/usr/binaries", "/usr/local", "/opt", "/opt/fts", "/opt/fts/bin/old",
        "/opt//bin", "/opt/bin", "/home/me/bin", "/work/build", "/srv/tools/fts", "/usr/share/fts"})
    EXPECT_FALSE(IsSystemProgramPath(path)) << path;
}

TEST(PosixPlatformTest, ASystemProgramFolderIsKnownByItsRealPath) {
  TempDir dir;
  auto platform = MakeSystemPlatform();
  EXPECT_TRUE(platform->IsSystemProgramFolder("/usr/bin/"));
  EXPECT_TRUE(platform->IsSystemProgramFolder("/usr/bin"));
  EXPECT_FALSE(platform->IsSystemProgramFolder(dir.Path() + "/"));
  // The tests' own program lies in a build folder.
  const std::string binary = test::BinaryPath();
  EXPECT_FALSE(platform->IsSystemProgramFolder(binary.substr(0, binary.rfind('/') + 1)));
  // Reached through a link, /usr/bin is still /usr/bin.
  ASSERT_EQ(symlink("/usr/bin", (dir / "bin").c_str()), 0);
  EXPECT_TRUE(platform->IsSystemProgramFolder(dir / "bin/"));
  // A folder that does not exist is judged by its name.
  EXPECT_TRUE(platform->IsSystemProgramFolder("/opt/fts-missing-package/bin/"));
}

}  // namespace
}  // namespace fts
