// The mirror onto real file systems of several kinds, each made and mounted
// for the test (see MountedFileSystem), with a tree that some of them
// cannot hold as it is: Unicode names, blanks, a long name, a deep path, a
// large and a sparse file, names that differ in letter case only, and
// characters that Windows file systems refuse. Whatever a file system
// refuses, the second run must either find nothing to do, or fail exactly
// as the first run did and change nothing: runs that undo each other's work
// would rewrite a disk on every run and never end in a stable mirror.
// The read-only kind, squashfs, is the source instead, with the program
// itself inside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "inventory/portable_names.h"
#include "support/mounted_file_system.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::MountedFileSystem;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kNoDifference = "No Difference In These Folders!";
constexpr std::string_view kFailed = "Action Failed    : ";
constexpr long long kSourceTime = 1700000001;  // 2023-11-14

// Whole files, read with one buffer of their size: the sparse file is
// 64 MiB and read several times.
std::string ReadWhole(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  std::string bytes;
  if (fstat(fd, &st) == 0) bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  if (done != bytes.size()) throw std::runtime_error("short read of " + path);
  return bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes)
    byte = static_cast<char>(random());
  return bytes;
}

// Every entry below `root` with what tells it apart: "" for a folder, the
// size and a hash of the contents for a file.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& relPath : ListTree(root)) {
    if (relPath.ends_with("/")) {
      entries[relPath] = "";
    } else {
      const std::string bytes = ReadWhole(root + "/" + relPath);
      entries[relPath] = std::to_string(bytes.size()) + " bytes, hash " +
                         std::to_string(std::hash<std::string>{}(bytes));
    }
  }
  return entries;
}

// The tree every kind gets. NFC names, as typed on most systems.
void MakeSourceTree(const std::string& root) {
  MakeDirs(root + "/ünïcødé");
  WriteFile(root + "/ünïcødé/日本語.txt", "Unicode\n");
  MakeDirs(root + "/with blanks/in between");
  WriteFile(root + "/with blanks/in between/a file name.txt", "blanks\n");
  WriteFile(root + "/" + std::string(196, 'n') + ".txt", "a 200-byte name\n");
  std::string deep = root + "/deep";
  for (int level = 1; level <= 30; ++level) {
    char name[16];
    std::snprintf(name, sizeof name, "/level%02d", level);
    deep += name;
  }
  MakeDirs(deep);
  WriteFile(deep + "/bottom.txt", "30 levels down\n");
  WriteFile(root + "/large.bin", RandomBytes(8u << 20, 1));
  // 64 MiB with 1 MiB of data in the middle, the rest holes.
  const std::string sparse = root + "/sparse.bin";
  const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::string middle = RandomBytes(1u << 20, 2);
  ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), (63u << 20) / 2),
            static_cast<ssize_t>(middle.size()));
  ASSERT_EQ(ftruncate(fd, 64u << 20), 0);
  close(fd);
  MakeDirs(root + "/clash/Docs");
  MakeDirs(root + "/clash/docs");
  WriteFile(root + "/clash/README", "upper case\n");
  WriteFile(root + "/clash/readme", "lower case\n");
  WriteFile(root + "/clash/Docs/a.txt", "in Docs\n");
  WriteFile(root + "/clash/docs/b.txt", "in docs\n");
  MakeDirs(root + "/refused");
  for (const auto* name : {"what?.txt", "co:lon.txt", "star*.txt", "trailing dot.", "pipe|.txt"})
    WriteFile(root + "/refused/" + name, std::string(name) + "\n");
  // An old time, on an odd second and between two: a file system that
  // keeps times coarsely or loses them shows it on every run, not only
  // when the runs fall into another two-second step than the tree.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) test::SetMtime(entry.path().string(), kSourceTime, 500'000'000);
  }
}

// A run's log taken apart: the actions (the lines within the action
// sections), the failed ones with the failure line that follows each, and
// every other line, which is the same from one run to the next when the
// runs do the same.
struct RunLog {
  Lines actions;
  std::set<std::pair<std::string, std::string>> failures;
  Lines frame;
};

RunLog Parse(const std::string& out) {
  RunLog log;
  bool inSection = false;
  for (const auto& line : WithoutStamps(out)) {
    if (line.empty()) continue;
    if (line.starts_with("-------- ")) {
      inSection = line.find(" Start ") != std::string::npos;
      log.frame.push_back(line);
    } else if (!inSection) {
      log.frame.push_back(line);
    } else if (line.starts_with(kFailed) && !log.actions.empty()) {
      log.failures.emplace(log.actions.back(), line);
    } else {
      log.actions.push_back(line);
    }
  }
  return log;
}

// Standard output holds the log and nothing else.
void ExpectOnlyStampedLines(const std::string& out) {
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(out.ends_with("\n")) << out;
  std::stringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(test::StartsWithLogStamp(line)) << "not a log line: " << line;
  }
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class FileSystemMatrixTest : public ::testing::TestWithParam<std::string> {
 protected:
  // Mounts the kind (a squashfs image of `contents`); false when it cannot
  // be done here, with the reason told.
  bool Mount(const std::string& contents = "") {
    const auto start = Clock::now();
    mounted_ = std::make_unique<MountedFileSystem>(GetParam(), contents);
    if (!mounted_->Mounted()) {
      std::cout << "[ matrix   ] " << GetParam() << " skipped: " << mounted_->SkipReason()
                << std::endl;
      RecordProperty("skipped", mounted_->SkipReason());
      return false;
    }
    timings_ << "mount " << SecondsSince(start) << " s";
    return true;
  }

  void Timed(const std::string& what, const std::function<void()>& step) {
    const auto start = Clock::now();
    step();
    timings_ << ", " << what << " " << SecondsSince(start) << " s";
  }

  // Unmounted here, also after a failed assertion, and timed.
  void TearDown() override {
    if (!mounted_) return;
    const bool wasMounted = mounted_->Mounted();
    const std::string driver = mounted_->Driver();
    const auto start = Clock::now();
    mounted_.reset();
    if (!wasMounted) return;
    timings_ << ", unmount " << SecondsSince(start) << " s";
    std::cout << "[ matrix   ] " << GetParam() << " (" << driver << "): " << timings_.str()
              << std::endl;
    RecordProperty("driver", driver);
    RecordProperty("timings", timings_.str());
  }

  // The mirror of `source` into a folder of the mounted file system, twice,
  // with `switches`.
  void MirrorOntoMounted(const std::string& source, const std::string& folder,
                         const std::vector<std::string>& switches = {});
  // The mirror from the read-only mount, by the program inside it.
  void MirrorFromReadOnly(const std::string& image);

  test::TempDir temp_;
  std::unique_ptr<MountedFileSystem> mounted_;
  std::ostringstream timings_ = [] {
    std::ostringstream text;
    text.precision(2);
    text << std::fixed;
    return text;
  }();
};

void FileSystemMatrixTest::MirrorOntoMounted(const std::string& source, const std::string& folder,
                                             const std::vector<std::string>& switches) {
  const std::string destination = mounted_->MountPoint() + "/" + folder;
  MakeDirs(destination);
  test::ProcessResult first, second;
  std::map<std::string, std::string> afterFirst, afterSecond;
  std::vector<std::string> arguments = switches;
  arguments.insert(arguments.end(), {source, destination});
  Timed(folder + " first run", [&] { first = test::RunBinary(arguments); });
  Timed("listing", [&] { afterFirst = Snapshot(destination); });
  Timed("second run", [&] { second = test::RunBinary(arguments); });
  Timed("listing", [&] { afterSecond = Snapshot(destination); });
  const bool portable =
      std::find(switches.begin(), switches.end(), "--names=portable") != switches.end();
  ExpectOnlyStampedLines(first.out);
  ExpectOnlyStampedLines(second.out);
  const RunLog firstLog = Parse(first.out);
  const RunLog secondLog = Parse(second.out);
  const auto secondLines = WithoutStamps(second.out);
  const bool noDifference =
      std::find(secondLines.begin(), secondLines.end(), kNoDifference) != secondLines.end();

  if (noDifference) {
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_TRUE(secondLog.actions.empty()) << second.out;
  } else {
    // The first run's failures again, nothing else, and the same outcome.
    EXPECT_FALSE(firstLog.failures.empty())
        << "the first run failed nothing, yet the second run acts:\n"
        << second.out;
    EXPECT_EQ(secondLog.failures, firstLog.failures) << first.out << "\n" << second.out;
    EXPECT_EQ(secondLog.actions.size(), secondLog.failures.size())
        << "the second run does more than fail again:\n"
        << second.out;
    EXPECT_EQ(secondLog.frame, firstLog.frame) << first.out << "\n" << second.out;
    EXPECT_EQ(second.exitCode, first.exitCode) << second.out << second.err;
  }
  EXPECT_EQ(afterSecond, afterFirst) << "the second run changed the destination";

  // Whatever stands in the destination stands in the source under the
  // same name (as mapped back) with the same contents (so README did not
  // get readme's).
  const auto wanted = Snapshot(source);
  for (const auto& [written, facts] : afterSecond) {
    const std::string relPath = portable ? PathFromPortable(written, '/') : written;
    const auto found = wanted.find(relPath);
    if (found == wanted.end()) {
      ADD_FAILURE() << "in the destination but not in the source: " << relPath;
    } else {
      EXPECT_EQ(facts, found->second) << relPath;
    }
  }
  // Whatever is missing was reported: its copy, or the making of one of
  // its folders, failed.
  for (const auto& [relPath, facts] : wanted) {
    const std::string written = portable ? PortablePath(relPath, '/') : relPath;
    if (afterSecond.contains(written)) continue;
    bool reported = false;
    for (std::string part = written; !part.empty() && !reported;) {
      if (part.ends_with("/")) part.pop_back();
      const std::string path = destination + "/" + part;
      for (const auto& failure : firstLog.failures)
        reported = reported || failure.first.ends_with(path);
      const auto slash = part.rfind('/');
      part = slash == std::string::npos ? "" : part.substr(0, slash);
    }
    EXPECT_TRUE(reported) << relPath << " is missing without a failed action:\n" << first.out;
  }
}

void FileSystemMatrixTest::MirrorFromReadOnly(const std::string& image) {
  const std::string source = mounted_->MountPoint() + "/tree";
  const std::string programFolder = mounted_->MountPoint() + "/bin";
  struct statvfs facts;
  ASSERT_EQ(statvfs(source.c_str(), &facts), 0);
  ASSERT_NE(facts.f_flag & ST_RDONLY, 0u) << "the source is not read-only";
  const std::string destination = temp_ / "mirror";
  MakeDirs(destination);
  test::ProcessResult first, second;
  // The program stands in the read-only folder: its inventory files must
  // go elsewhere.
  Timed("first run", [&] { first = test::RunBinary({source, destination}, programFolder); });
  Timed("second run", [&] { second = test::RunBinary({source, destination}, programFolder); });
  ExpectOnlyStampedLines(first.out);
  ExpectOnlyStampedLines(second.out);
  EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
  EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
  const auto secondLines = WithoutStamps(second.out);
  EXPECT_NE(std::find(secondLines.begin(), secondLines.end(), kNoDifference), secondLines.end())
      << second.out;
  EXPECT_EQ(Snapshot(destination), Snapshot(source));
  EXPECT_EQ(Snapshot(source), Snapshot(image + "/tree")) << "the source changed";
}

TEST_P(FileSystemMatrixTest, MirrorsTwiceAlike) {
  if (GetParam() == "squashfs") {
    // The image holds the tree and, beside it, the program.
    const std::string image = temp_ / "image";
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(MakeSourceTree(image + "/tree"));
    MakeDirs(image + "/bin");
    std::filesystem::copy_file(test::BinaryPath(), image + "/bin/FernwickTreeSyncer");
    timings_ << "tree " << SecondsSince(start) << " s, ";
    if (!Mount(image)) GTEST_SKIP() << mounted_->SkipReason();
    MirrorFromReadOnly(image);
  } else {
    const std::string source = temp_ / "source";
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(MakeSourceTree(source));
    timings_ << "tree " << SecondsSince(start) << " s, ";
    if (!Mount()) GTEST_SKIP() << mounted_->SkipReason();
    MirrorOntoMounted(source, "mirror");
    // Refused characters written as look-alikes converge too.
    MirrorOntoMounted(source, "portable", {"--names=portable"});
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileSystemMatrixTest,
                         ::testing::ValuesIn(MountedFileSystem::Kinds()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace fts
