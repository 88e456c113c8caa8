// Actions carried out many at a time log exactly as one at a time do.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "run/run_driver.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

using test::MakeDirs;
using test::SetMtime;
using test::WriteFile;
using Lines = std::vector<std::string>;

// Trees that need every kind of action, many of each.
void MakeTrees(const std::string& src, const std::string& dst) {
  std::filesystem::remove_all(src);
  std::filesystem::remove_all(dst);
  for (int folder = 0; folder < 12; ++folder) {
    const std::string name = "/f" + std::to_string(folder);
    MakeDirs(src + name + "/deeper");
    MakeDirs(dst + name + "/gone" + std::to_string(folder % 3));
    const bool deeperThere = folder % 2 == 0;  // else a folder to make
    if (deeperThere) MakeDirs(dst + name + "/deeper");
    for (int file = 0; file < 25; ++file) {
      const std::string relPath = name + (file % 2 ? "/deeper/" : "/") + std::to_string(file);
      WriteFile(src + relPath, "new " + relPath);
      SetMtime(src + relPath, 1700000000);
      if (file % 3 == 0 || (file % 2 && !deeperThere)) continue;  // new in the source
      WriteFile(dst + relPath, "old");
      SetMtime(dst + relPath, file % 3 == 1 ? 1700000000 : 1600000000);
    }
    WriteFile(dst + name + "/extra.txt", "extra");
    WriteFile(dst + name + "/gone" + std::to_string(folder % 3) + "/x", "x");
  }
}

TEST(ParallelActionsTest, TheLogIsTheSameWithOneJobAndWithMany) {
  test::TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst", bin = dir / "bin";
  MakeDirs(bin);
  std::vector<std::string> logs;
  std::vector<int> codes;
  for (const char* jobs : {"--jobs=1", "--jobs=8", "--jobs=8", "--jobs=3", "--jobs=auto"}) {
    MakeTrees(src, dst);
    test::FaultPlatform platform;
    platform.exeFolder = bin + "/";
    // The same actions fail whichever worker carries them out, and when.
    platform.actionFault = [](std::string_view operation, const std::string& path) {
      return std::hash<std::string>{}(std::string(operation) + path) % 7 == 0
                 ? Status::Error(operation, path, "Injected failure")
                 : Status::Ok();
    };
    codes.push_back(RunFernwickTreeSyncer({jobs, src, dst}, platform));
    std::string log;
    for (const std::string& line : test::WithoutStamps(platform.out))
      log += line + "\n";
    logs.push_back(log);
  }
  EXPECT_EQ(codes, (std::vector<int>{3, 3, 3, 3, 3}));
  EXPECT_GT(std::count(logs[0].begin(), logs[0].end(), '\n'), 350);
  EXPECT_NE(logs[0].find("Action Failed    : Injected failure"), std::string::npos);
  for (std::size_t i = 1; i < logs.size(); ++i)
    EXPECT_EQ(logs[i], logs[0]) << "run " << i;
}

}  // namespace
}  // namespace fts
