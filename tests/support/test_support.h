// Helpers shared by the tests on every system: real folders in a temporary
// folder, the real binary run as a child process, log lines, and an
// in-process platform that records what the run printed. The POSIX and the
// Windows implementations live in test_support_posix.cpp and
// test_support_windows.cpp; windows_test_support.h adds what only Windows
// has.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/forwarding_platform.h"

namespace fts::test {

// What separates the names in a path on this system.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// A fresh folder in the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path, without a trailing separator.
  const std::string& Path() const { return path_; }
  // Path() + separator + relative.
  std::string operator/(const std::string& relative) const { return path_ + kSeparator + relative; }

 private:
  std::string path_;
};

// Paths are UTF-8; on Windows they may be longer than 260 characters.
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
// Makes the folder and every missing folder above it.
void MakeDirs(const std::string& path);
// Sets the last-write time (UTC seconds since 1970).
void SetMtime(const std::string& path, long long seconds, long nanoseconds = 0);
bool Exists(const std::string& path);  // without following a final link

// A file at `relPath` below `root`, its folders made as needed, however long
// the whole path; and its contents read back (POSIX systems).
void WriteDeepFile(const std::string& root, const std::string& relPath,
                   const std::string& contents);
std::string ReadDeepFile(const std::string& root, const std::string& relPath);

// Every entry below `root` as a sorted list of relative paths, folders
// ending in the separator.
std::vector<std::string> ListTree(const std::string& root);

// How many times `part` stands in `text`, not overlapping.
std::size_t Occurrences(std::string_view text, std::string_view part);

// The built FernwickTreeSyncer.
std::string BinaryPath();

struct ProcessResult {
  int exitCode = -1;  // 128 + the signal when a signal ended the child
  bool endedBySignal = false;
  std::string out;
  std::string err;
};

struct StartOptions {
  // When given, the binary is first copied into this folder and run from
  // there, so that its inventory files stand beside it in that folder.
  std::string inFolder;
  // Standard error goes to the null device instead of a pipe.
  bool discardErrors = false;
  // When not 0, the size of standard output's pipe (on Windows the size the
  // system is asked for): a run with a long log stalls until it is read.
  int outputPipeSize = 0;
  // POSIX: standard output goes to this file (for example /dev/full)
  // instead of the pipe, or is closed when it is "-".
  std::string outputTo;
  // POSIX: standard error is a terminal (a pseudo-terminal that the test
  // reads as it reads a pipe).
  bool errorsToTerminal = false;
};

// The binary run as a child process with the given arguments, its standard
// output and error on pipes. On POSIX systems it starts with no signal
// blocked; on Windows its command line quotes each argument that holds a
// blank.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments,
                        const StartOptions& options = {});
  // Ends a child that still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output until what was read holds `text` (`times` times)
  // or the output ends; true in the first case.
  bool ReadOutputUntil(std::string_view text, std::size_t times = 1);
  // Standard output as read so far.
  const std::string& Output() const;
#ifndef _WIN32
  void Signal(int signalNumber);
#endif
  // Reads standard output and error to their ends and waits for the child.
  ProcessResult Finish();

 private:
  struct Running;
  std::unique_ptr<Running> running_;
};

// Runs the binary to its end (see ChildProcess and StartOptions::inFolder).
ProcessResult RunBinary(const std::vector<std::string>& arguments,
                        const std::string& inFolder = "");

// True when the line begins with a valid "YYYY/MM/DD HH:MM:SS " stamp whose
// time fields are joined by `timeSeparator`.
bool StartsWithLogStamp(std::string_view line, std::string_view timeSeparator = ":");
// The lines of a log, each ended by the console's line end (kConsoleLineEnd),
// with their stamps removed; a line without a stamp is kept as it is.
std::vector<std::string> WithoutStamps(const std::string& out,
                                       std::string_view timeSeparator = ":");
// True when `out` is not empty and each of its lines, the last one
// included, ends in CR LF, and no LF stands alone.
bool EveryLineEndsInCrLf(std::string_view out);

struct SystemPlatformHolder {
  std::unique_ptr<Platform> system = MakeSystemPlatform();
};

// The real platform, with everything written to standard output and error
// kept in memory instead. Tests derive from it to make chosen calls fail.
// The holder comes first, so that the platform exists before it is
// forwarded to.
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
