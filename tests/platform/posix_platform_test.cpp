#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
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

}  // namespace
}  // namespace fts
