// Helpers for the tests of the Win32 platform: real folders in the user's
// temporary folder, named and handled through the wide interfaces.
#pragma once

#include <string>
#include <vector>

namespace fts::test {

// A fresh folder, removed with everything in it when the object goes.
class WindowsTempDir {
 public:
  WindowsTempDir();
  ~WindowsTempDir();
  WindowsTempDir(const WindowsTempDir&) = delete;
  WindowsTempDir& operator=(const WindowsTempDir&) = delete;

  // The folder's path, without a trailing separator.
  const std::string& Path() const { return path_; }
  // Path() + "\" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

 private:
  std::string path_;
};

// All paths are UTF-8 and may be longer than 260 characters.
void WriteTextFile(const std::string& path, const std::string& contents);
std::string ReadTextFile(const std::string& path);
void MakeFolder(const std::string& path);
bool EntryExists(const std::string& path);
unsigned long AttributesOf(const std::string& path);
void SetAttributes(const std::string& path, unsigned long attributes);
// The last-write time in 100-nanosecond ticks since 1601, as the system keeps it.
long long LastWriteTicks(const std::string& path);
void SetLastWriteTicks(const std::string& path, long long ticks);
// Removes a folder and everything in it.
void RemoveTree(const std::string& path);

// Every entry below `root`, sorted, folders ending in '\'.
std::vector<std::string> ListTree(const std::string& root);

}  // namespace fts::test
