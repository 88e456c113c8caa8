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

}  // namespace
}  // namespace fts
