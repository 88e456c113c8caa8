#include "inventory/inventory_listing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "inventory/record_format.h"
#include "inventory/time_stamp.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::RunBinary;
using test::SetMtime;
using test::TempDir;
using test::WithoutStamps;
using test::WriteFile;

constexpr long long kMay2024 = 1714554186;          // 2024-05-01 09:03:06 UTC
constexpr long long kMay2024Midnight = 1714521600;  // 2024-05-01 00:00:00 UTC

// The real platform with a chosen executable folder and temporary folder,
// optionally a folder in which no file can be created, and one that must not
// even be tried (each try is recorded, and fails).
class InventoryPlatform : public test::CapturingPlatform {
 public:
  std::string ExecutableFolder() override { return exeFolder; }
  std::string TemporaryFolder() override { return tempFolder; }
  CreateResult CreateNewFile(const std::string& path) override {
    if (!readOnly.empty() && path.starts_with(readOnly)) {
      return {CreateOutcome::kNotWritable, nullptr, nullptr,
              Status::Error("create", path, "Read-only file system")};
    }
    if (!untouchable.empty() && path.starts_with(untouchable)) {
      tried.push_back(path);
      return {CreateOutcome::kFailed, nullptr, nullptr, Status::Error("create", path, "tried")};
    }
    return CapturingPlatform::CreateNewFile(path);
  }
  HoldResult HoldFile(const std::string& path) override {
    if (!untouchable.empty() && path.starts_with(untouchable)) {
      tried.push_back(path);
      return {};
    }
    return CapturingPlatform::HoldFile(path);
  }
  std::string exeFolder, tempFolder, readOnly, untouchable;
  std::vector<std::string> tried;
};

class InventoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  InventoryTest() {
    MakeDirs(src_);
    MakeDirs(dst_);
    MakeDirs(bin_);
    platform_.exeFolder = bin_ + "/";
    platform_.tempFolder = dir_ / "tmp/";
  }

  // Lists both trees into inventories beside bin_ and returns the bytes of
  // one side's inventory.
  std::string Inventory(Side side) {
    InventoryFiles files;
    ConsoleLog log(platform_);
    const TreeRoots roots{{src_ + "/"}, {dst_ + "/"}};
    {
      InventoryListing listing(platform_, log, roots, exclusions_, files);
      EXPECT_TRUE(listing.ListSource());
      EXPECT_TRUE(listing.ListDestination());
    }
    EXPECT_EQ(files.source.name, bin_ + "/tmp_CopyFromPath.txt");
    EXPECT_EQ(files.destination.name, bin_ + "/tmp_CopyToPath.txt");
    std::string bytes = ReadFile(files.Of(side).name);
    unlink(files.source.name.c_str());
    unlink(files.destination.name.c_str());
    return bytes;
  }

  // Claims a name and holds it for the test's time, as a running run does.
  std::string Claim(std::string_view base) {
    auto claimed = ChooseInventoryName(platform_, base);
    if (!claimed) return "(none)";
    held_.push_back(std::move(*claimed));
    return held_.back().fileName;
  }
  std::vector<ClaimedInventory> held_;
  ExclusionRules exclusions_;

  TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
  InventoryPlatform platform_;
};

TEST_F(InventoryTest, RecordsAreWrittenByteForByte) {
  MakeDirs(src_ + "/sub");
  WriteFile(src_ + "/sub/a.txt", "a");
  SetMtime(src_ + "/sub/a.txt", kMay2024);
  const std::string root = src_ + "/";
  EXPECT_EQ(Inventory(Side::kSource),
            "Directory\",\"" + root + "sub\",\"sub\",\"0\",\"\",\"1\r\n" +  //
                "File\",\"" + root +
                "sub/a.txt\",\"sub/a.txt\",\"1\",\"2024/05/01 9:03:06\",\"1\r\n");

  // Depth counts the separators; one second past midnight is cut to midnight,
  // which shows the date alone.
  MakeDirs(dst_ + "/a/b");
  WriteFile(dst_ + "/a/b/c.txt", "");
  SetMtime(dst_ + "/a/b/c.txt", kMay2024Midnight + 1);
  const std::string bytes = Inventory(Side::kDestination);
  EXPECT_EQ(bytes, "Directory\",\"" + dst_ + "/a\",\"a\",\"0\",\"\",\"1\r\n" +          //
                       "Directory\",\"" + dst_ + "/a/b\",\"a/b\",\"1\",\"\",\"1\r\n" +  //
                       "File\",\"" + dst_ +
                       "/a/b/c.txt\",\"a/b/c.txt\",\"2\",\"2024/05/01\",\"1\r\n");
  TStrArrayClass splitter;
  SetUpRecordSplitter(splitter);
  splitter.Split(bytes.substr(0, bytes.find("\r\n")));
  EXPECT_EQ(splitter.Count(), 6);
  EXPECT_EQ(splitter.GetItem(kTimeStampField), "");
}

TEST_F(InventoryTest, EmptyTreeGivesAnEmptyInventory) {
  EXPECT_EQ(Inventory(Side::kSource), "");
}

TEST_F(InventoryTest, TimeStampsKeepEvenSecondsInsideTheDosRangeOnly) {
  for (int second = 0; second < 60; ++second) {
    DirEntryInfo info;
    info.timeValid = true;
    info.lastWrite.seconds = kMay2024 - 6 + second;
    EXPECT_EQ(TimeStampOf(platform_, info, Side::kSource),
              "2024/05/01 9:03:" + std::string((second & ~1) < 10 ? "0" : "") +
                  std::to_string(second & ~1));
  }
  // Outside 1980 to 2107 the exact second is kept, never an empty text.
  EXPECT_EQ(FormatTimeStamp({1970, 1, 1, 0, 0, 0}, false), "1970/01/01");
  EXPECT_EQ(FormatTimeStamp({1970, 1, 1, 0, 0, 1}, false), "1970/01/01 0:00:01");
  EXPECT_EQ(FormatTimeStamp({2024, 12, 31, 23, 59, 59}, true), "2024/12/31 23:59:58");
}

// Fields beyond two digits (four for the year) used to come out as other
// digits or as any byte, a line break or a quote among them, inside the
// record.
TEST(FormatTimeStampTest, FieldsOutOfRangeAreWrittenAsTheyAre) {
  EXPECT_EQ(FormatTimeStamp({2024, 5, 1, 2180, 0, 0}, true), "2024/05/01 2180:00:00");
  EXPECT_EQ(FormatTimeStamp({2024, 5, 1, 2420, 0, 0}, true), "2024/05/01 2420:00:00");
  EXPECT_EQ(FormatTimeStamp({2024, 123, -5, 9, 3, 7}, true), "2024/123/-5 9:03:06");
  EXPECT_EQ(FormatTimeStamp({2024, 5, 1, 9, 100, 0}, false), "2024/05/01 9:100:00");
  EXPECT_EQ(FormatTimeStamp({2024, 5, 1, 0, 0, -1}, true), "2024/05/01 0:00:-2");
  EXPECT_EQ(FormatTimeStamp({10000, 1, 1, 1, 1, 1}, false), "10000/01/01 1:01:01");
  EXPECT_EQ(FormatTimeStamp({2024, 5, 1, 99, 99, 99}, false), "2024/05/01 99:99:99");
  for (int hour = 0; hour < 3000; ++hour) {
    const std::string text = FormatTimeStamp({2024, 5, 1, hour, 0, 0}, true);
    EXPECT_EQ(text.find_first_not_of("0123456789/: "), std::string::npos) << hour;
    EXPECT_EQ(text, hour == 0 ? "2024/05/01" : "2024/05/01 " + std::to_string(hour) + ":00:00");
  }
}

TEST_F(InventoryTest, DestinationLinksAreRecordedAsThemselves) {
  MakeDirs(dir_ / "outside");
  WriteFile(dir_ / "outside/f.txt", "");
  ASSERT_EQ(symlink("../outside", (dst_ + "/dirlink").c_str()), 0);
  const std::string bytes = Inventory(Side::kDestination);
  EXPECT_EQ(bytes, "File\",\"" + dst_ + "/dirlink\",\"dirlink\",\"0\",\"" +
                       std::string(kLinkTimeStamp) + "\",\"1\r\n");
}

TEST_F(InventoryTest, NamesTheRecordCannotCarryAndOldTimesMirrorExactly) {
  const std::vector<std::string> names = {"a\",\"b", "line\nfeed", "cr\r",
                                          "tail\",", "%%plain",    "%%41"};
  for (const auto& name : names)
    WriteFile(src_ + "/" + name, name);
  WriteFile(src_ + "/epoch.txt", "old");
  SetMtime(src_ + "/epoch.txt", 0);

  const std::string bytes = Inventory(Side::kSource);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 7);
  TStrArrayClass splitter;
  SetUpRecordSplitter(splitter);
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t end = bytes.find("\r\n", start);
    splitter.Split(std::string_view(bytes).substr(start, end - start));
    EXPECT_EQ(splitter.Count(), 6) << bytes.substr(start, end - start);
    EXPECT_FALSE(splitter.GetItem(kTimeStampField).empty());
    start = end + 2;
  }

  const auto first = RunBinary({src_, dst_}, bin_);
  EXPECT_EQ(first.exitCode, 0) << first.out;
  EXPECT_EQ(ListTree(dst_), ListTree(src_));
  for (const auto& name : names)
    EXPECT_EQ(ReadFile(dst_ + "/" + name), name);
  const auto second = RunBinary({src_, dst_}, bin_);
  EXPECT_EQ(WithoutStamps(second.out).at(6), "No Difference In These Folders!") << second.out;
}

TEST_F(InventoryTest, OwnInventoriesInsideEitherTreeAreNeverListed) {
  WriteFile(src_ + "/f.txt", "");
  const auto fromSource = RunBinary({src_, dst_}, src_);
  EXPECT_EQ(fromSource.exitCode, 0) << fromSource.out;
  EXPECT_EQ(ListTree(dst_), (std::vector<std::string>{"FernwickTreeSyncer", "f.txt"}));

  TempDir other;
  const auto fromDestination = RunBinary({other.Path(), dst_}, dst_);
  EXPECT_EQ(fromDestination.exitCode, 0) << fromDestination.out;
  EXPECT_EQ(fromDestination.out.find("tmp_Copy"), std::string::npos) << fromDestination.out;
  EXPECT_EQ(ListTree(dst_), std::vector<std::string>{});
}

TEST_F(InventoryTest, EachSideTakesItsFirstFreeName) {
  EXPECT_EQ(Claim(kSourceInventoryBase), bin_ + "/tmp_CopyFromPath.txt");
  // A name held by a live run is never taken, nor one of a file that is no
  // inventory.
  WriteFile(bin_ + "/tmp_CopyFromPath2.txt", "not an inventory");
  EXPECT_EQ(Claim(kSourceInventoryBase), bin_ + "/tmp_CopyFromPath3.txt");
  EXPECT_EQ(ReadFile(bin_ + "/tmp_CopyFromPath2.txt"), "not an inventory");
  EXPECT_EQ(Claim(kDestinationInventoryBase), bin_ + "/tmp_CopyToPath.txt");
  // Any entry standing under a name takes it, a directory too.
  MakeDirs(bin_ + "/tmp_CopyToPath2.txt");
  EXPECT_EQ(Claim(kDestinationInventoryBase), bin_ + "/tmp_CopyToPath3.txt");
}

// A run that was killed leaves its inventories behind: a later run deletes
// those that no live run holds and takes their names.
TEST_F(InventoryTest, LeftoversOfKilledRunsAreDeletedAndTheirNamesTaken) {
  WriteFile(bin_ + "/tmp_CopyFromPath.txt", "");
  WriteFile(bin_ + "/tmp_CopyToPath.txt", "File\",\"/x/a\",\"a\",\"0\",\"2024/05/01\",\"1\r\n");
  WriteFile(bin_ + "/tmp_CopyToPath2.txt", "Directory\",\"/x/d\",\"d\",\"0\",\"\",\"0\r\n");
  auto source = ChooseInventoryName(platform_, kSourceInventoryBase);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->fileName, bin_ + "/tmp_CopyFromPath.txt");
  auto destination = ChooseInventoryName(platform_, kDestinationInventoryBase);
  ASSERT_TRUE(destination);
  EXPECT_EQ(destination->fileName, bin_ + "/tmp_CopyToPath.txt");
  EXPECT_EQ(ReadFile(bin_ + "/tmp_CopyToPath.txt"), "");  // the new, empty one

  // The one that is held stays; the next leftover goes.
  auto next = ChooseInventoryName(platform_, kDestinationInventoryBase);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->fileName, bin_ + "/tmp_CopyToPath2.txt");
  EXPECT_EQ(ReadFile(bin_ + "/tmp_CopyToPath2.txt"), "");

  // Whatever else stands under a name stays.
  for (const char* other : {"File", "Fil", "File\"", "Directory,", "\r\n", "%%File"})
    EXPECT_FALSE(LooksLikeInventory(other)) << other;
  for (const char* inventory : {"", "File\",\"", "Directory\",\"/x"})
    EXPECT_TRUE(LooksLikeInventory(inventory)) << inventory;
}

// Ninety-nine leftovers no longer stop every later run.
TEST_F(InventoryTest, NinetyNineLeftoversDoNotStopARun) {
  for (int n = 1; n <= 99; ++n) {
    const std::string number = n == 1 ? "" : std::to_string(n);
    WriteFile(bin_ + "/tmp_CopyFromPath" + number + ".txt", "File\",\"/x/a\",\"a\",\"0");
    WriteFile(bin_ + "/tmp_CopyToPath" + number + ".txt", "");
  }
  const auto run = RunBinary({src_, dst_}, bin_);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  // The run deleted the leftovers under the names it took, and its own files.
  EXPECT_FALSE(test::Exists(bin_ + "/tmp_CopyFromPath.txt"));
  EXPECT_FALSE(test::Exists(bin_ + "/tmp_CopyToPath.txt"));
  EXPECT_EQ(ListTree(bin_).size(), 1u + 2 * 98);
}

TEST_F(InventoryTest, UnwritableExecutableFolderFallsBackToTheTemporaryFolder) {
  MakeDirs(platform_.tempFolder);
  platform_.readOnly = bin_;
  EXPECT_EQ(Claim(kSourceInventoryBase), platform_.tempFolder + "tmp_CopyFromPath.txt");
  EXPECT_EQ(Claim(kSourceInventoryBase), platform_.tempFolder + "tmp_CopyFromPath2.txt");
  EXPECT_EQ(ListTree(bin_), std::vector<std::string>{});

  // All names taken beside a writable executable is the limit, not a reason
  // to fall back.
  platform_.readOnly.clear();
  WriteFile(bin_ + "/tmp_CopyToPath.txt", "other");
  for (int n = 2; n <= 99; ++n)
    WriteFile(bin_ + "/tmp_CopyToPath" + std::to_string(n) + ".txt", "other");
  EXPECT_EQ(Claim(kDestinationInventoryBase), "(none)");
  EXPECT_EQ(ListTree(platform_.tempFolder).size(), 2u);
}

// Installed and run as root, the program could write into /usr/bin; it
// neither does nor tries.
TEST_F(InventoryTest, AProgramInASystemFolderKeepsItsInventoriesInTheTemporaryFolder) {
  platform_.exeFolder = "/usr/bin/";
  platform_.untouchable = "/usr/bin/";
  MakeDirs(platform_.tempFolder);
  // A leftover of a killed run there is taken over as beside a program.
  WriteFile(platform_.tempFolder + "tmp_CopyToPath.txt", "");
  WriteFile(src_ + "/a.txt", "a");

  InventoryFiles files;
  ConsoleLog log(platform_);
  const TreeRoots roots{{src_ + "/"}, {dst_ + "/"}};
  {
    InventoryListing listing(platform_, log, roots, exclusions_, files);
    EXPECT_TRUE(listing.ListSource());
    EXPECT_TRUE(listing.ListDestination());
  }
  EXPECT_EQ(files.source.name, platform_.tempFolder + "tmp_CopyFromPath.txt");
  EXPECT_EQ(files.destination.name, platform_.tempFolder + "tmp_CopyToPath.txt");
  EXPECT_NE(ReadFile(files.source.name).find(src_ + "/a.txt"), std::string::npos);
  EXPECT_EQ(platform_.tried, std::vector<std::string>{});
  EXPECT_EQ(platform_.err, "");
}

// The same, end to end: the program copied to /opt/<package>/bin, where
// `cmake --install --prefix` puts it, takes over a leftover in $TMPDIR and
// leaves the one beside it alone.
TEST_F(InventoryTest, AnInstalledProgramLeavesItsOwnFolderAlone) {
  std::string opt = "/opt/fts-test-XXXXXX";
  if (mkdtemp(opt.data()) == nullptr) {
    GTEST_SKIP() << "no folder can be made in /opt (that needs root): " << std::strerror(errno);
  }
  struct Remover {
    std::string path;
    ~Remover() { std::filesystem::remove_all(path); }
  } remover{opt};
  const std::string bin = opt + "/bin", tmp = dir_ / "tmp";
  MakeDirs(bin);
  MakeDirs(tmp);
  WriteFile(bin + "/tmp_CopyToPath.txt", "");
  WriteFile(tmp + "/tmp_CopyFromPath.txt", "");
  WriteFile(src_ + "/a.txt", "a");

  const char* before = std::getenv("TMPDIR");
  const std::string saved = before == nullptr ? "" : before;
  setenv("TMPDIR", tmp.c_str(), 1);
  const auto run = RunBinary({src_, dst_}, bin);
  if (before == nullptr) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", saved.c_str(), 1);
  }
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(dst_ + "/a.txt"), "a");
  EXPECT_EQ(ListTree(bin), (std::vector<std::string>{"FernwickTreeSyncer", "tmp_CopyToPath.txt"}));
  EXPECT_EQ(ListTree(tmp), std::vector<std::string>{});
}

TEST_F(InventoryTest, AllNinetyNineNamesTakenEndsTheRunWithCodeTwo) {
  for (std::string base : {"tmp_CopyFromPath", "tmp_CopyToPath"}) {
    TempDir bin;
    std::vector<std::string> held = {base + ".txt"};
    for (int n = 2; n <= 99; ++n)
      held.push_back(base + std::to_string(n) + ".txt");
    for (const auto& name : held)
      WriteFile(bin / name, "held by " + name);

    const auto run = RunBinary({src_, dst_}, bin.Path());
    EXPECT_EQ(run.exitCode, 2);
    const auto lines = WithoutStamps(run.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], base == "tmp_CopyFromPath"
                                           ? "Get MirrorFromPath Information..."
                                           : "Get MirrorToPath Information...");
    EXPECT_EQ(lines[lines.size() - 2], "Parallel Process Limit Over!(MAX:99)");
    EXPECT_EQ(lines.back(),
              "******** FernwickTreeSyncer AbNormal End ***************************************");
    for (const auto& name : held)
      EXPECT_EQ(ReadFile(bin / name), "held by " + name);
    held.push_back("FernwickTreeSyncer");
    std::sort(held.begin(), held.end());
    EXPECT_EQ(ListTree(bin.Path()), held);
  }
}

}  // namespace
}  // namespace fts
