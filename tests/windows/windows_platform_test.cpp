// The Win32 platform on real folders.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "inventory/folder_walker.h"
#include "platform/platform.h"
#include "platform/wide_text.h"
#include "platform/windows_paths.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

using test::MakeFolderLink;
using test::WindowsTempDir;

// Japanese text and an emoji: no 8-bit Western code page can hold them.
const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
const std::string kEmoji = "\xF0\x9F\x98\x80";

// 2024-05-01 09:03:06 UTC in ticks since 1601.
constexpr long long kSomeTicks = 133590277860000000LL;

std::map<std::string, DirEntryInfo> ListFolder(Platform& platform, const std::string& path,
                                               LinkPolicy policy = LinkPolicy::kFollow) {
  auto listing = platform.OpenDirectory(path, nullptr, {}, policy);
  EXPECT_TRUE(listing) << listing.status().Message();
  std::map<std::string, DirEntryInfo> entries;
  if (!listing) {
    return entries;
  }
  std::string name;
  DirEntryInfo info;
  while ((*listing)->Next(name, info)) {
    entries[name] = info;
  }
  return entries;
}

std::vector<std::string> NamesIn(const std::map<std::string, DirEntryInfo>& entries) {
  std::vector<std::string> names;
  for (const auto& [name, info] : entries) {
    names.push_back(name);
  }
  return names;
}

// The destination tree below a folder, its actions named by full paths.
class TreeByPath {
 public:
  TreeByPath(Platform& platform, const std::string& root) : root_(root + "\\") {
    auto opened = platform.OpenDestination(root);
    EXPECT_TRUE(opened) << opened.status().Message();
    if (opened) {
      tree_ = std::move(*opened);
    }
  }
  Status MakeDirectory(const std::string& path) { return tree_->MakeDirectory(Rel(path)); }
  Status RemoveDirectory(const std::string& path) { return tree_->RemoveDirectory(Rel(path)); }
  Status DeleteFile(const std::string& path) { return tree_->DeleteFile(Rel(path)); }
  Status CopyFile(const std::string& from, const std::string& to) {
    return tree_->CopyFile(from, Rel(to)).status();
  }

 private:
  std::string Rel(const std::string& path) const {
    EXPECT_EQ(path.rfind(root_, 0), 0u) << path;
    return path.substr(root_.size());
  }
  std::string root_;
  std::unique_ptr<DestinationTree> tree_;
};

// A long chain of folders below `root`: more than 300 characters in all.
std::string MakeDeepFolder(TreeByPath& platform, const std::string& root) {
  std::string path = root;
  for (int i = 0; i < 8; ++i) {
    path += "\\folder-" + std::to_string(i) + "-abcdefghijklmnopqrstuvwxyz0123456789";
    EXPECT_TRUE(platform.MakeDirectory(path)) << path;
  }
  EXPECT_GT(path.size(), 300u);
  return path;
}

class WindowsPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = MakeSystemPlatform();
  WindowsTempDir dir_;
  TreeByPath tree_{*platform_, dir_.Path()};
};

TEST_F(WindowsPlatformTest, ListsEveryEntryWithDotsAndTimes) {
  test::WriteTextFile(dir_ / "a.txt", "a");
  test::SetLastWriteTicks(dir_ / "a.txt", kSomeTicks + 1234567);
  test::WriteTextFile(dir_ / "hidden.txt", "h");
  test::SetAttributes(dir_ / "hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  test::MakeFolder(dir_ / "sub");

  const auto entries = ListFolder(*platform_, dir_.Path());
  EXPECT_EQ(NamesIn(entries), (std::vector<std::string>{".", "..", "a.txt", "hidden.txt", "sub"}));
  const DirEntryInfo& file = entries.at("a.txt");
  EXPECT_FALSE(file.isDirectory);
  EXPECT_FALSE(file.isSymlink);
  ASSERT_TRUE(file.timeValid);
  EXPECT_EQ(file.lastWrite.seconds, 1714554186);  // 2024-05-01 09:03:06 UTC
  EXPECT_EQ(file.lastWrite.nanoseconds, 123456700);
  EXPECT_TRUE(entries.at("hidden.txt").timeValid);
  EXPECT_TRUE(entries.at("sub").isDirectory);
}

TEST_F(WindowsPlatformTest, ListingAFolderThatIsNotThereFailsWithTheSystemsText) {
  auto listing = platform_->OpenDirectory(dir_ / "missing", nullptr, {}, LinkPolicy::kFollow);
  ASSERT_FALSE(listing);
  const std::string error = listing.status().Cause();
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find('\r'), std::string::npos);
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_EQ(listing.status().Message(), "cannot list " + (dir_ / "missing") + ": " + error);
}

TEST_F(WindowsPlatformTest, NamesOutsideEveryCodePageRoundTrip) {
  const std::string folder = dir_ / (kJapanese + " " + kEmoji);
  ASSERT_TRUE(tree_.MakeDirectory(folder));
  const std::string file = folder + "\\" + kJapanese + kEmoji + ".txt";
  CreateResult created = platform_->CreateNewFile(file);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated) << created.status.Message();
  ASSERT_TRUE(created.file->Append("x", 1));
  ASSERT_TRUE(created.file->Close());
  created.hold.reset();  // a held file stays until its hold goes

  EXPECT_EQ(NamesIn(ListFolder(*platform_, folder)),
            (std::vector<std::string>{".", "..", kJapanese + kEmoji + ".txt"}));
  EXPECT_TRUE(platform_->FileExists(file));
  EXPECT_TRUE(platform_->IsDirectory(folder));
  const std::string copy = folder + "\\" + kEmoji + ".copy";
  EXPECT_TRUE(tree_.CopyFile(file, copy));
  EXPECT_EQ(test::ReadTextFile(copy), "x");
  EXPECT_TRUE(tree_.DeleteFile(file));
  EXPECT_TRUE(tree_.DeleteFile(copy));
  EXPECT_TRUE(tree_.RemoveDirectory(folder));
  EXPECT_FALSE(test::EntryExists(folder));
}

TEST_F(WindowsPlatformTest, PathsLongerThan260CharactersWork) {
  const std::string deep = MakeDeepFolder(tree_, dir_.Path());
  const std::string file = deep + "\\file.txt";
  CreateResult created = platform_->CreateNewFile(file);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated) << created.status.Message();
  ASSERT_TRUE(created.file->Append("deep", 4));
  ASSERT_TRUE(created.file->Close());
  created.hold.reset();

  EXPECT_TRUE(platform_->IsDirectory(deep));
  EXPECT_TRUE(platform_->FileExists(file));
  const auto entries = ListFolder(*platform_, deep);
  ASSERT_TRUE(entries.count("file.txt"));
  EXPECT_TRUE(entries.at("file.txt").timeValid);
  ASSERT_TRUE(tree_.CopyFile(file, deep + "\\copy.txt"));
  EXPECT_EQ(test::ReadTextFile(deep + "\\copy.txt"), "deep");
  const auto real = platform_->RealPath(deep);
  ASSERT_TRUE(real);
  EXPECT_EQ(platform_->FoldPathCase(*real), platform_->FoldPathCase(deep));

  EXPECT_TRUE(tree_.DeleteFile(file));
  EXPECT_TRUE(tree_.DeleteFile(deep + "\\copy.txt"));
  EXPECT_TRUE(tree_.RemoveDirectory(deep));
  EXPECT_FALSE(platform_->IsDirectory(deep));
}

TEST_F(WindowsPlatformTest, TheWalkReachesTheBottomOfADeepTree) {
  const std::string deep = MakeDeepFolder(tree_, dir_.Path());
  test::WriteTextFile(deep + "\\bottom.txt", "b");
  std::vector<std::string> files;
  WalkFolder(*platform_, dir_.Path(), 0, [&](const WalkEntry& entry, bool&) {
    if (entry.isFile) {
      files.emplace_back(entry.fullPath);
    }
    return WalkNext::kContinue;
  });
  EXPECT_EQ(files, std::vector<std::string>{deep + "\\bottom.txt"});
}

TEST_F(WindowsPlatformTest, DeleteClearsAReadOnlyAttributeFirst) {
  const std::string file = dir_ / "locked.txt";
  test::WriteTextFile(file, "r");
  test::SetAttributes(file, FILE_ATTRIBUTE_READONLY);
  ASSERT_FALSE(DeleteFileW(SystemPath(file).c_str()));  // the plain call refuses
  EXPECT_TRUE(tree_.DeleteFile(file));
  EXPECT_FALSE(test::EntryExists(file));
}

TEST_F(WindowsPlatformTest, AFailedDeleteKeepsTheAttributeAndSaysWhy) {
  const std::string file = dir_ / "in use.txt";
  test::WriteTextFile(file, "r");
  test::SetAttributes(file, FILE_ATTRIBUTE_READONLY);
  const HANDLE held = CreateFileW(SystemPath(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Status status = tree_.DeleteFile(file);
  CloseHandle(held);
  EXPECT_FALSE(status);
  EXPECT_FALSE(status.Cause().empty());
  EXPECT_EQ(status.Cause().find('\r'), std::string::npos);
  EXPECT_EQ(status.Cause().find('\n'), std::string::npos);
  EXPECT_EQ(status.Message(), "cannot delete " + file + ": " + status.Cause());
  EXPECT_TRUE(test::EntryExists(file));
  EXPECT_TRUE(test::AttributesOf(file) & FILE_ATTRIBUTE_READONLY);
  test::SetAttributes(file, FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsPlatformTest, RemovesAReadOnlyFolder) {
  test::MakeFolder(dir_ / "ro");
  test::SetAttributes(dir_ / "ro", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(tree_.RemoveDirectory(dir_ / "ro"));
  EXPECT_FALSE(test::EntryExists(dir_ / "ro"));
}

TEST_F(WindowsPlatformTest, ErrorTextsAreTheSystemsOnOneLine) {
  const Status missing = tree_.DeleteFile(dir_ / "missing.txt");
  ASSERT_FALSE(missing);
  wchar_t expected[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, ERROR_FILE_NOT_FOUND, 0, expected, 512, nullptr);
  ASSERT_GT(length, 0u);
  std::string text = Utf8FromWide(std::wstring_view(expected, length));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  EXPECT_EQ(missing.Cause(), text);
  EXPECT_FALSE(tree_.RemoveDirectory(dir_ / "missing"));
  EXPECT_FALSE(tree_.MakeDirectory(dir_ / "missing\\below"));
}

TEST_F(WindowsPlatformTest, CopyKeepsContentsTimeAndAttributes) {
  const std::string from = dir_ / "from.bin";
  std::string contents(3 << 20, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) {
    contents[i] = static_cast<char>(i * 7 + i / 4096);
  }
  test::WriteTextFile(from, contents);
  test::SetLastWriteTicks(from, kSomeTicks + 9876543);
  test::SetAttributes(from, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);

  const std::string to = dir_ / "to.bin";
  ASSERT_TRUE(tree_.CopyFile(from, to));
  EXPECT_EQ(test::ReadTextFile(to), contents);
  EXPECT_EQ(test::LastWriteTicks(to), kSomeTicks + 9876543);
  EXPECT_EQ(test::AttributesOf(to) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(test::ListTree(dir_.Path()), (std::vector<std::string>{"from.bin", "to.bin"}));
  test::SetAttributes(from, FILE_ATTRIBUTE_NORMAL);
  test::SetAttributes(to, FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsPlatformTest, CopyReplacesWhatStandsUnderTheName) {
  test::WriteTextFile(dir_ / "from.txt", "new");
  test::WriteTextFile(dir_ / "to.txt", "old contents");
  ASSERT_TRUE(tree_.CopyFile(dir_ / "from.txt", dir_ / "to.txt"));
  EXPECT_EQ(test::ReadTextFile(dir_ / "to.txt"), "new");
  EXPECT_EQ(test::ListTree(dir_.Path()), (std::vector<std::string>{"from.txt", "to.txt"}));
}

TEST_F(WindowsPlatformTest, AFailedCopyLeavesNothingBehind) {
  test::WriteTextFile(dir_ / "from.txt", "x");
  test::MakeFolder(dir_ / "folder");
  test::WriteTextFile(dir_ / "folder\\inside.txt", "i");
  // A folder stands under the name: the copy cannot replace it.
  const Status onFolder = tree_.CopyFile(dir_ / "from.txt", dir_ / "folder");
  EXPECT_FALSE(onFolder);
  EXPECT_FALSE(onFolder.Cause().empty());
  // The source is missing.
  EXPECT_FALSE(tree_.CopyFile(dir_ / "missing.txt", dir_ / "to.txt"));
  // The destination folder is missing.
  EXPECT_FALSE(tree_.CopyFile(dir_ / "from.txt", dir_ / "nowhere\\to.txt"));
  // A folder is no file to copy.
  EXPECT_FALSE(tree_.CopyFile(dir_ / "folder", dir_ / "to.txt"));
  EXPECT_EQ(test::ListTree(dir_.Path()),
            (std::vector<std::string>{"folder\\", "folder\\inside.txt", "from.txt"}));
}

TEST_F(WindowsPlatformTest, CreateNewFileNeverTakesANameThatIsTaken) {
  const std::string name = dir_ / "tmp_CopyFromPath.txt";
  CreateResult first = platform_->CreateNewFile(name);
  ASSERT_EQ(first.outcome, CreateOutcome::kCreated) << first.status.Message();
  CreateResult second = platform_->CreateNewFile(name);
  EXPECT_EQ(second.outcome, CreateOutcome::kNameTaken);
  EXPECT_FALSE(second.status.Cause().empty());
  ASSERT_TRUE(first.file->Close());

  test::MakeFolder(dir_ / "folder.txt");
  EXPECT_EQ(platform_->CreateNewFile(dir_ / "folder.txt").outcome, CreateOutcome::kNameTaken);
  EXPECT_EQ(platform_->CreateNewFile(dir_ / "missing\\x.txt").outcome, CreateOutcome::kFailed);
  EXPECT_TRUE(platform_->FileExists(name));
  EXPECT_FALSE(platform_->FileExists(dir_ / "folder.txt"));
  EXPECT_FALSE(platform_->FileExists(dir_ / "missing.txt"));
}

TEST_F(WindowsPlatformTest, ANewFileIsHeldUntilItsHoldGoes) {
  const std::string name = dir_ / "tmp_CopyToPath.txt";
  CreateResult created = platform_->CreateNewFile(name);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  ASSERT_TRUE(created.file->Append("File\",\"", 7));
  ASSERT_TRUE(created.file->Close());
  // Closed for writing, still held: no other run can take it.
  EXPECT_EQ(platform_->HoldFile(name).outcome, HoldOutcome::kHeldElsewhere);
  created.hold.reset();

  HoldResult taken = platform_->HoldFile(name);
  ASSERT_EQ(taken.outcome, HoldOutcome::kHeld) << taken.status.Message();
  EXPECT_EQ(platform_->HoldFile(name).outcome, HoldOutcome::kHeldElsewhere);
  const auto start = taken.hold->ReadStart(16);
  ASSERT_TRUE(start);
  EXPECT_EQ(*start, "File\",\"");
  EXPECT_TRUE(taken.hold->DeleteAndRelease());
  EXPECT_FALSE(test::EntryExists(name));
  EXPECT_EQ(platform_->HoldFile(name).outcome, HoldOutcome::kFailed);
}

TEST_F(WindowsPlatformTest, FilesAppendReadAndTakeOneByteWritesInPlace) {
  const std::string name = dir_ / "inventory.txt";
  CreateResult created = platform_->CreateNewFile(name);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  ASSERT_TRUE(created.file->Append("abc", 3));
  ASSERT_TRUE(created.file->Append("def\r\n", 5));
  ASSERT_TRUE(created.file->Close());

  auto reader = platform_->OpenFile(name, OpenMode::kRead);
  ASSERT_TRUE(reader) << reader.status().Message();
  auto writer = platform_->OpenFile(name, OpenMode::kWriteExisting);
  // The marks are written while a reader is open.
  ASSERT_TRUE(writer) << writer.status().Message();
  ASSERT_TRUE((*writer)->WriteAt(1, "X", 1));
  ASSERT_TRUE((*writer)->Close());

  char buffer[16] = {};
  auto got = (*reader)->ReadAt(0, buffer, sizeof buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(buffer, *got), "aXcdef\r\n");
  got = (*reader)->ReadAt(4, buffer, 2);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(buffer, *got), "ef");
  got = (*reader)->ReadAt(100, buffer, 4);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 0u);
  ASSERT_TRUE((*reader)->Close());

  auto missing = platform_->OpenFile(dir_ / "missing.txt", OpenMode::kRead);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(missing.status().Cause().empty());
}

TEST_F(WindowsPlatformTest, AnOwnFileIsKnownInItsFoldersListing) {
  const std::string name = dir_ / "tmp_CopyToPath.txt";
  CreateResult created = platform_->CreateNewFile(name);
  ASSERT_EQ(created.outcome, CreateOutcome::kCreated);
  const FileIdentity own = created.file->Identity();
  test::WriteTextFile(dir_ / "other.txt", "o");

  test::MakeFolder(dir_ / "sub");
  const auto entries = ListFolder(*platform_, dir_.Path() + "\\sub\\..\\");
  EXPECT_EQ(entries.at("tmp_CopyToPath.txt").identity, own);
  EXPECT_FALSE(entries.at("other.txt").identity == own);

  // The walk leaves the run's own file out.
  WalkOptions options;
  options.excluded.push_back(own);
  std::vector<std::string> seen;
  WalkFolder(
      *platform_, dir_.Path(), 0,
      [&](const WalkEntry& entry, bool&) {
        seen.emplace_back(entry.fullPath);
        return WalkNext::kContinue;
      },
      options);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{dir_ / "other.txt", dir_ / "sub"}));
  ASSERT_TRUE(created.file->Close());
}

TEST_F(WindowsPlatformTest, AFolderIsKnownWhicheverWayItIsReached) {
  test::MakeFolder(dir_ / "a");
  test::MakeFolder(dir_ / "a\\b");
  auto direct = platform_->OpenDirectory(dir_ / "a\\b", nullptr, {}, LinkPolicy::kFollow);
  auto roundabout =
      platform_->OpenDirectory(dir_ / "A\\.\\B\\..\\b\\", nullptr, {}, LinkPolicy::kFollow);
  auto other = platform_->OpenDirectory(dir_ / "a", nullptr, {}, LinkPolicy::kFollow);
  ASSERT_TRUE(direct && roundabout && other);
  EXPECT_EQ((*direct)->Identity(), (*roundabout)->Identity());
  EXPECT_FALSE((*direct)->Identity() == (*other)->Identity());
}

TEST_F(WindowsPlatformTest, RealPathIsAbsoluteAndFoldedCaseComparesNamesAsTheSystemDoes) {
  test::MakeFolder(dir_ / "Mixed Case");
  const auto real = platform_->RealPath(dir_ / "mixed case\\");
  ASSERT_TRUE(real);
  EXPECT_EQ(real->rfind("\\\\?\\", 0), std::string::npos);
  EXPECT_EQ(platform_->FoldPathCase(*real), platform_->FoldPathCase(dir_ / "Mixed Case"));
  EXPECT_EQ(platform_->FoldPathCase("C:\\Stra\xC3\x9F"
                                    "e\\\xC3\xA9t\xC3\xA9"),
            "C:\\STRA\xC3\x9F"
            "E\\\xC3\x89T\xC3\x89");
  EXPECT_FALSE(platform_->RealPath(dir_ / "missing"));
}

TEST_F(WindowsPlatformTest, ExecutableAndTemporaryFolders) {
  const std::string exeFolder = platform_->ExecutableFolder();
  ASSERT_FALSE(exeFolder.empty());
  EXPECT_EQ(exeFolder.back(), '\\');
  EXPECT_TRUE(platform_->IsDirectory(exeFolder));
  EXPECT_TRUE(platform_->FileExists(exeFolder + "fts_windows_tests.exe"));
  const std::string temporary = platform_->TemporaryFolder();
  EXPECT_EQ(temporary.back(), '\\');
  EXPECT_TRUE(platform_->IsDirectory(temporary));
}

TEST_F(WindowsPlatformTest, ProgramFilesAndTheSystemFolderHoldSystemPrograms) {
  wchar_t systemRoot[MAX_PATH + 1];
  const DWORD length = GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH + 1);
  ASSERT_GT(length, 0u);
  const std::string windows = Utf8FromWide(std::wstring_view(systemRoot, length));
  EXPECT_TRUE(platform_->IsSystemProgramFolder(windows + "\\System32\\"));
  EXPECT_TRUE(platform_->IsSystemProgramFolder(platform_->FoldPathCase(windows) + "\\"));
  // The folder's name only begins alike.
  EXPECT_FALSE(platform_->IsSystemProgramFolder(windows + "-old\\"));
  // The tests run from their build folder.
  EXPECT_FALSE(platform_->IsSystemProgramFolder(platform_->ExecutableFolder()));
  EXPECT_FALSE(platform_->IsSystemProgramFolder(platform_->TemporaryFolder()));
}

TEST_F(WindowsPlatformTest, TimesConvertToLocalTimeAsTheSystemDoes) {
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(kSomeTicks & 0xFFFFFFFF);
  utc.dwHighDateTime = static_cast<DWORD>(kSomeTicks >> 32);
  FILETIME localTime;
  SYSTEMTIME expected;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &localTime));
  ASSERT_TRUE(FileTimeToSystemTime(&localTime, &expected));
  const auto local = platform_->ToLocalTime({1714554186, 999999999});
  ASSERT_TRUE(local);
  EXPECT_EQ(local->year, expected.wYear);
  EXPECT_EQ(local->month, expected.wMonth);
  EXPECT_EQ(local->day, expected.wDay);
  EXPECT_EQ(local->hour, expected.wHour);
  EXPECT_EQ(local->minute, expected.wMinute);
  EXPECT_EQ(local->second, expected.wSecond);
  // Before 1601 the system keeps no time.
  EXPECT_FALSE(platform_->ToLocalTime({-12000000000LL, 0}));

  const LocalDateTime now = platform_->Now();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
}

TEST_F(WindowsPlatformTest, ALinkToAFolderIsListedAsItselfAndRemovedAlone) {
  test::MakeFolder(dir_ / "target");
  test::WriteTextFile(dir_ / "target\\kept.txt", "k");
  if (!MakeFolderLink(dir_ / "link", dir_ / "target")) {
    GTEST_SKIP() << "this system makes neither symbolic links nor junctions here";
  }
  const auto asItself = ListFolder(*platform_, dir_.Path(), LinkPolicy::kDoNotFollow);
  EXPECT_TRUE(asItself.at("link").isSymlink);
  EXPECT_FALSE(asItself.at("link").isDirectory);
  const auto followed = ListFolder(*platform_, dir_.Path(), LinkPolicy::kFollow);
  EXPECT_TRUE(followed.at("link").isDirectory);
  EXPECT_FALSE(followed.at("link").isSymlink);

  EXPECT_TRUE(tree_.DeleteFile(dir_ / "link"));
  EXPECT_FALSE(test::EntryExists(dir_ / "link"));
  EXPECT_EQ(test::ReadTextFile(dir_ / "target\\kept.txt"), "k");
}

TEST_F(WindowsPlatformTest, TheRootOfADriveCanBeListed) {
  auto entries = ListFolder(*platform_, "C:\\");
  EXPECT_FALSE(entries.empty());
  EXPECT_TRUE(platform_->IsDirectory("C:\\"));
}

}  // namespace
}  // namespace fts
