// Helpers shared by the tests: real folders in a temporary directory, the
// real binary run as a child process, and an in-process platform that
// records what the run printed.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/forwarding_platform.h"

namespace fts::test {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
void MakeDirs(const std::string& path);
// Sets the last-write time (UTC seconds since 1970).
void SetMtime(const std::string& path, long long seconds, long nanoseconds = 0);
bool Exists(const std::string& path);  // without following a final link

// A file at `relPath` below `root`, its folders made as needed, however long
// the whole path; and its contents read back.
void WriteDeepFile(const std::string& root, const std::string& relPath,
                   const std::string& contents);
std::string ReadDeepFile(const std::string& root, const std::string& relPath);

// Every entry below `root` as a sorted list of relative paths, directories
// ending in '/'.
std::vector<std::string> ListTree(const std::string& root);

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the built FernwickTreeSyncer. When `inFolder` is given, the binary is
// first copied there and run from there, so that its inventory files stand
// beside it in that folder.
ProcessResult RunBinary(const std::vector<std::string>& arguments,
                        const std::string& inFolder = "");
std::string BinaryPath();

// The lines of a log with the "YYYY/MM/DD HH:MM:SS " stamp removed; a line
// without a stamp is kept as it is.
std::vector<std::string> WithoutStamps(const std::string& out);
// True when the line begins with a valid "YYYY/MM/DD HH:MM:SS " stamp.
bool StartsWithLogStamp(std::string_view line);

struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform();
};

// The real platform, with everything written to standard output and error
// kept in memory instead. Tests derive from it to make chosen calls fail.
class CapturingPlatform : private SystemPlatformHolder, public ForwardingPlatform {
 public:
  CapturingPlatform() : ForwardingPlatform(*system) {}
  void WriteStdout(std::string_view text) override { out.append(text); }
  void WriteStderr(std::string_view text) override { err.append(text); }
  std::string out;
  std::string err;
};

// `relPaths` in an order a walk may report them: each folder before its
// contents, a folder's whole subtree before its next sibling, siblings in
// the order `random` gives. Every folder of a listed path must be listed.
std::vector<std::string> InWalkOrder(const std::vector<std::string>& relPaths,
                                     std::mt19937& random);

}  // namespace fts::test
