// What the tests have on Windows only, besides the helpers of
// test_support.h: attributes, file times in the system's ticks, folder links,
// and the Wine that the tests may run under.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace fts::test {

unsigned long AttributesOf(const std::string& path);
void SetAttributes(const std::string& path, unsigned long attributes);
// The last-write time in 100-nanosecond ticks since 1601, as the system keeps it.
long long LastWriteTicks(const std::string& path);
void SetLastWriteTicks(const std::string& path, long long ticks);
// The ticks of a local time, as the user's time zone gives them.
long long TicksOfLocalTime(int year, int month, int day, int hour, int minute, int second);
// Removes a folder and everything in it; a link is removed as itself.
void RemoveTree(const std::string& path);

// Makes `link` a link to the folder `target`, as a symbolic link or else
// as a junction; false where the system lets neither be made.
bool MakeFolderLink(const std::string& link, const std::string& target);

// True when the tests run under Wine.
bool RunningUnderWine();
// Under Wine: makes `link` a symbolic link of the Linux system underneath,
// which Wine shows as a link to the folder `target`. This Wine makes neither
// symbolic links nor junctions itself, so a Linux program (ln) makes it, as
// a user of Wine would. False elsewhere, or when it cannot be made.
bool MakeLinuxFolderLink(const std::string& link, const std::string& target);
// Removes such a link the same way, while the folder it leads to is still
// there. Wine removes no such link: while that folder holds files it
// refuses, once it is empty it removes the folder instead, and once the
// folder is gone it no longer sees the link.
bool RemoveLinuxFolderLink(const std::string& link);

// The command line that a child process gets for `arguments`: each one
// that holds a blank, or is empty, in double quotes, as the program splits
// its command line.
std::wstring CommandLineTail(const std::vector<std::string>& arguments);

// The names that the tests of the Win32 platform use for the helpers.
using WindowsTempDir = TempDir;
inline void WriteTextFile(const std::string& path, const std::string& contents) {
  WriteFile(path, contents);
}
inline std::string ReadTextFile(const std::string& path) {
  return ReadFile(path);
}
inline void MakeFolder(const std::string& path) {
  MakeDirs(path);
}
inline bool EntryExists(const std::string& path) {
  return Exists(path);
}

}  // namespace fts::test
