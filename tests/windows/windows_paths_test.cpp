#include "platform/windows_paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/wide_text.h"

namespace fts {
namespace {

TEST(WindowsPathsTest, AbsolutePathsTakeTheVerbatimForm) {
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\src\\a.txt"), L"\\\\?\\C:\\src\\a.txt");
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\src\\"), L"\\\\?\\C:\\src");
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\"), L"\\\\?\\C:\\");
  EXPECT_EQ(ExtendedAbsolutePath(L"z:/work/x"), L"\\\\?\\z:\\work\\x");
  EXPECT_EQ(ExtendedAbsolutePath(L"\\\\server\\share\\dir\\f"),
            L"\\\\?\\UNC\\server\\share\\dir\\f");
  EXPECT_EQ(ExtendedAbsolutePath(L"\\\\server\\share"), L"\\\\?\\UNC\\server\\share\\");
  EXPECT_EQ(ExtendedAbsolutePath(L"relative\\x"), L"");
  EXPECT_EQ(ExtendedAbsolutePath(L"C:relative"), L"");
  EXPECT_EQ(ExtendedAbsolutePath(L"\\\\server"), L"");
}

TEST(WindowsPathsTest, DotsAndDoubledSeparatorsGoButNamesStayWhole) {
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\a\\.\\b\\..\\c"), L"\\\\?\\C:\\a\\c");
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\..\\..\\a"), L"\\\\?\\C:\\a");
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\a\\\\b"), L"\\\\?\\C:\\a\\b");
  EXPECT_EQ(ExtendedAbsolutePath(L"\\\\s\\h\\..\\..\\x"), L"\\\\?\\UNC\\s\\h\\x");
  // A trailing dot or blank, or a device name, is part of a name.
  EXPECT_EQ(ExtendedAbsolutePath(L"C:\\a.\\b \\con"), L"\\\\?\\C:\\a.\\b \\con");
}

TEST(WindowsPathsTest, SystemPathResolvesRelativePathsAndKeepsVerbatimOnes) {
  EXPECT_EQ(SystemPath("\\\\?\\C:\\x\\..\\y"), L"\\\\?\\C:\\x\\..\\y");
  EXPECT_EQ(SystemPath("C:\\src\\\xE6\x97\xA5"), L"\\\\?\\C:\\src\\\x65E5");

  wchar_t current[MAX_PATH + 1];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, current);
  ASSERT_GT(length, 0u);
  std::wstring expected = ExtendedAbsolutePath(std::wstring(current, length) + L"\\sub\\f.txt");
  EXPECT_EQ(SystemPath("sub\\f.txt"), expected);
  EXPECT_EQ(SystemPath(".\\sub\\x\\..\\f.txt"), expected);
}

TEST(WindowsPathsTest, DisplayPathDropsTheVerbatimPrefix) {
  EXPECT_EQ(DisplayPath(L"\\\\?\\C:\\src"), "C:\\src");
  EXPECT_EQ(DisplayPath(L"\\\\?\\UNC\\server\\share\\d"), "\\\\server\\share\\d");
  EXPECT_EQ(DisplayPath(L"C:\\plain"), "C:\\plain");
}

}  // namespace
}  // namespace fts
