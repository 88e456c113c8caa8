// fts_compare_bench: times the comparison alone, the part of a run between
// the listing and the end, on two generated inventories (no tree on disk).
//
//   fts_compare_bench [--entries N] [--work DIR] [--keep] [--rounds R]
//                     [--seed S] [--change-percent P]
//
// The source inventory lists a tree of N entries, depth first as a walk
// writes it: folders of about 100 entries (10 sub-folders and about 90
// files), as many levels as N needs (4 for 1m, 5 for 10m), the entries of a
// folder in an order of their own as a directory listing hands them out.
// The destination inventory lists the same tree with about P % of its
// entries changed: files with an older time, files missing, files that the
// source lacks, and a few whole leaf folders on one side only. Some names
// hold blanks, commas, quotes and accented letters, and a few hold what a
// record must escape.
//
// Each round restores the inventories (every ActionFlag back to "1"), then
// runs what the program runs after its listing: the index of the
// destination inventory, the marking of the identical pairs and the mirror
// actions in a dry run with a log that goes nowhere. It reports the time of
// each phase and the peak RSS, and checks the counts against what the
// generator made. See bench/README.md.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "inventory/inventory_files.h"
#include "inventory/record_format.h"
#include "inventory/time_stamp.h"
#include "mirror/difference_marking.h"
#include "mirror/line_index.h"
#include "mirror/mirror_actions.h"
#include "platform/forwarding_platform.h"
#include "platform/platform.h"
#include "platform/status.h"
#include "run/console_log.h"

#include "seeded_random.h"

namespace {

namespace fs = std::filesystem;

// Bump when the generated inventories change for the same options: kept
// inventories of another version are generated anew.
constexpr int kGeneratorVersion = 2;

constexpr int kBranching = 10;              // sub-folders of every folder above the leaves
constexpr std::uint64_t kFolderSize = 100;  // entries a folder holds, about
constexpr std::string_view kSourceRoot = "/srv/data/source/";
constexpr std::string_view kDestinationRoot = "/srv/data/mirror/";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "fts_compare_bench: %s\n", message.c_str());
  std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& what, const std::string& path) {
  Fail(what + " " + path + ": " + std::strerror(errno));
}

void Say(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---------------------------------------------------------------- random

using fts::bench::HashText;
using fts::bench::Mix;
using fts::bench::Random;

// ---------------------------------------------------------------- times

constexpr std::int64_t kDay = 86400;
// Generated times lie two years from here on (days since 2019-01-01), and
// the older copies of the destination up to a year earlier.
constexpr std::uint64_t kFirstDay = 400;

// A time as the listing writes it, from seconds since 2019-01-01 00:00:00
// (taken as local time: no zone is involved).
std::string TimeStampText(std::int64_t seconds) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  const std::int64_t days = 17897 + seconds / kDay;  // 2019-01-01 is day 17897
  const std::int64_t z = days + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  fts::LocalDateTime local;
  local.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  local.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  local.year = static_cast<int>(yoe + era * 400 + (local.month <= 2 ? 1 : 0));
  const std::int64_t inDay = seconds % kDay;
  local.hour = static_cast<int>(inDay / 3600);
  local.minute = static_cast<int>(inDay / 60 % 60);
  local.second = static_cast<int>(inDay % 60);
  return fts::FormatTimeStamp(local, true);
}

// A file's time, in seconds since 2019-01-01.
std::int64_t DrawTime(Random& random) {
  constexpr std::uint64_t kSeconds = static_cast<std::uint64_t>(kDay);
  return static_cast<std::int64_t>(
      random.Between(kFirstDay * kSeconds, (kFirstDay + 2 * 365) * kSeconds));
}

// ---------------------------------------------------------------- the tree

struct Options {
  std::uint64_t entries = 1000000;
  std::uint64_t seed = 1;
  double changePercent = 1.0;
  int rounds = 1;
  bool keep = false;
  std::string work;
};

// The source tree: every folder (the root included) holds kBranching
// sub-folders down to `levels`, and the files are spread evenly so that
// the tree has exactly `entries` entries.
struct TreeShape {
  int levels = 1;
  std::uint64_t folders = 0;  // with the root
  std::uint64_t filesPerFolder = 0;
  std::uint64_t extraFiles = 0;  // the first folders (depth first) hold one file more
};

TreeShape ShapeFor(std::uint64_t entries) {
  TreeShape shape;
  for (shape.levels = 1;; ++shape.levels) {
    std::uint64_t folders = 1;
    std::uint64_t width = 1;
    for (int level = 1; level <= shape.levels; ++level) {
      width *= kBranching;
      folders += width;
    }
    shape.folders = folders;
    if (folders * kFolderSize >= entries) break;
  }
  const std::uint64_t files = entries - (shape.folders - 1);
  shape.filesPerFolder = files / shape.folders;
  shape.extraFiles = files % shape.folders;
  return shape;
}

// What the generator made, and so what the comparison must find.
struct Expected {
  std::uint64_t sourceRecords = 0;
  std::uint64_t destinationRecords = 0;
  std::uint64_t sourceBytes = 0;
  std::uint64_t destinationBytes = 0;
  std::uint64_t identicalPairs = 0;  // folders and files on both sides, same time
  std::uint64_t retimedFiles = 0;    // on both sides, the destination's older
  std::uint64_t copies = 0;          // source files not identical in the destination
  std::uint64_t deletions = 0;       // destination files not identical in the source
  std::uint64_t foldersMade = 0;
  std::uint64_t foldersRemoved = 0;
  std::uint64_t escapedPaths = 0;  // source records whose paths are escaped

  std::string Text() const {
    std::ostringstream out;
    out << sourceRecords << ' ' << destinationRecords << ' ' << sourceBytes << ' '
        << destinationBytes << ' ' << identicalPairs << ' ' << retimedFiles << ' ' << copies << ' '
        << deletions << ' ' << foldersMade << ' ' << foldersRemoved << ' ' << escapedPaths;
    return out.str();
  }
  bool Read(const std::string& text) {
    std::istringstream in(text);
    in >> sourceRecords >> destinationRecords >> sourceBytes >> destinationBytes >>
        identicalPairs >> retimedFiles >> copies >> deletions >> foldersMade >> foldersRemoved >>
        escapedPaths;
    return !in.fail();
  }
};

// Appends records to an inventory file a large block at a time.
class InventoryWriter {
 public:
  InventoryWriter(const std::string& path, std::string_view root)
      : path_(path), root_(root), fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
    if (fd_ < 0) FailErrno("cannot create", path);
    buffer_.reserve(kBufferSize + 4096);
  }
  ~InventoryWriter() {
    if (fd_ >= 0) close(fd_);
  }
  InventoryWriter(const InventoryWriter&) = delete;
  InventoryWriter& operator=(const InventoryWriter&) = delete;

  // One record, as the listing writes it; true when its paths are escaped.
  bool Add(std::string_view fullPath, bool isFile, std::string_view timeStamp) {
    const std::size_t start = buffer_.size();
    fts::FormatInventoryRecord(buffer_, fullPath, isFile, root_, timeStamp);
    buffer_ += fts::kRecordEnd;
    const bool escaped =
        std::string_view(buffer_).substr(start).find(fts::kEscapeMarker) != std::string_view::npos;
    ++records_;
    if (buffer_.size() >= kBufferSize) Flush();
    return escaped;
  }

  void Close() {
    Flush();
    if (fsync(fd_) != 0) FailErrno("cannot write", path_);
    if (close(fd_) != 0) FailErrno("cannot write", path_);
    fd_ = -1;
  }

  std::uint64_t Records() const { return records_; }
  std::uint64_t Bytes() const { return bytes_; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 20;

  void Flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      const ssize_t n = write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        FailErrno("cannot write", path_);
      }
      done += static_cast<std::size_t>(n);
    }
    bytes_ += buffer_.size();
    buffer_.clear();
  }

  std::string path_;
  std::string root_;
  int fd_;
  std::string buffer_;
  std::uint64_t records_ = 0;
  std::uint64_t bytes_ = 0;
};

enum SideMask : unsigned { kInSource = 1, kInDestination = 2, kOnBoth = 3 };

// One entry of a folder as the generator lays it out.
struct Item {
  std::string name;
  std::uint64_t order;  // the listing's order: a hash of the name
  bool isFolder;
  unsigned sides;
  std::uint64_t id;              // a folder's identity, for its contents
  std::int64_t sourceTime;       // files: seconds since 2019
  std::int64_t destinationTime;  // files
};

// Writes both inventories in one depth-first pass over the tree.
class Generator {
 public:
  Generator(const Options& options, const std::string& sourcePath,
            const std::string& destinationPath)
      : options_(options),
        shape_(ShapeFor(options.entries)),
        // Each kind of change gets a third of the changed entries.
        changeThreshold_(static_cast<std::uint64_t>(options.changePercent / 100.0 / 3.0 *
                                                    static_cast<double>(kScale))),
        // Leaf folders on one side only: a third of that, each way.
        folderThreshold_(changeThreshold_ / 3),
        source_(sourcePath, kSourceRoot),
        destination_(destinationPath, kDestinationRoot) {}

  Expected Run() {
    std::string sourcePath(kSourceRoot);
    std::string destinationPath(kDestinationRoot);
    Folder(0, Mix(options_.seed, 0xF01DE2ULL), kOnBoth, sourcePath, destinationPath);
    source_.Close();
    destination_.Close();
    expected_.sourceRecords = source_.Records();
    expected_.destinationRecords = destination_.Records();
    expected_.sourceBytes = source_.Bytes();
    expected_.destinationBytes = destination_.Bytes();
    if (expected_.sourceRecords != options_.entries) {
      Fail("generated " + std::to_string(expected_.sourceRecords) + " source records, not " +
           std::to_string(options_.entries));
    }
    return expected_;
  }

  const TreeShape& Shape() const { return shape_; }

 private:
  static constexpr std::uint64_t kScale = 1000000;

  // A file's name: mostly plain, some with blanks, commas, quotes or
  // accented letters, and a few that a record must escape.
  static std::string FileName(Random& random, std::uint64_t slot) {
    std::string name(fts::bench::kFileStems[random.Next() % fts::bench::kFileStems.size()]);
    switch (random.Next() % 1000) {
      case 0:
        name += " copy";
        break;
      case 1:
        name += ",final";
        break;
      case 2:
        name += "\xC3\xA9t\xC3\xA9";
        break;  // "été" in UTF-8
      case 3:
        name += "\"q\"";
        break;
      case 4:
        name += " 100%";
        break;
      default:
        break;
    }
    char number[32];
    std::snprintf(number, sizeof number, "-%04" PRIu64 "-%04" PRIx64, slot, random.Next() & 0xFFFF);
    name += number;
    name += fts::bench::kFileExtensions[random.Next() % fts::bench::kFileExtensions.size()];
    // About 1 name in 2,500 must be escaped in a record.
    switch (random.Next() % 10000) {
      case 0:
        name = "%%" + name;
        break;
      case 1:
        name += "\",\"x";
        break;
      case 2:
        name += "\",";
        break;
      case 3:
        name.insert(name.size() / 2, "\n");
        break;
      default:
        break;
    }
    return name;
  }

  // A folder's name; a few deep folders have a name that makes every path
  // below them escaped.
  static std::string FolderName(std::uint64_t id, int level, int index) {
    char name[48];
    std::snprintf(name, sizeof name, "dir-%d-%02d", level, index);
    std::string text(name);
    if (level >= 3 && Mix(id, 0xE5CULL) % 2000 == 0) text += "\",\"odd";
    if (Mix(id, 0xB1AULL) % 200 == 0) text += " (old)";
    return text;
  }

  std::uint64_t Draw(std::uint64_t id, std::uint64_t what) const {
    return Mix(id ^ options_.seed, what) % kScale;
  }

  // Lists folder `id` at `level` (0 for the root) on the sides in `sides`,
  // whose paths end in the separator.
  void Folder(int level, std::uint64_t id, unsigned sides, std::string& sourcePath,
              std::string& destinationPath) {
    const std::uint64_t ordinal = folderOrdinal_++;
    std::vector<Item> items;
    const std::uint64_t files = shape_.filesPerFolder + (ordinal < shape_.extraFiles ? 1 : 0);
    const std::uint64_t orderSeed = Mix(options_.seed, 0x0DDE12ULL);
    for (std::uint64_t slot = 0; slot < files; ++slot) {
      Random random(Mix(id, slot));
      std::string name = FileName(random, slot);
      const std::int64_t time = DrawTime(random);
      Item item{name, HashText(orderSeed, name), false, sides, 0, time, time};
      const std::uint64_t draw = Draw(id, slot);
      if (sides == kOnBoth && draw < changeThreshold_) {
        // The destination holds an older copy.
        item.destinationTime = time - static_cast<std::int64_t>(random.Between(3, 365)) * kDay;
      } else if (sides == kOnBoth && draw < 2 * changeThreshold_) {
        item.sides = kInSource;  // missing in the destination
      } else if (sides == kOnBoth && draw < 3 * changeThreshold_) {
        // The destination holds a file the source lacks.
        std::string extra = "old-" + FileName(random, slot);
        const std::int64_t extraTime = DrawTime(random);
        items.push_back(Item{extra, HashText(orderSeed, extra), false, kInDestination, 0, extraTime,
                             extraTime});
      }
      items.push_back(std::move(item));
    }
    if (level < shape_.levels) {
      for (int b = 0; b < kBranching; ++b) {
        const std::uint64_t childId = Mix(id, 0xF0000000ULL + static_cast<std::uint64_t>(b));
        std::string name = FolderName(childId, level + 1, b);
        Item item{name, HashText(orderSeed, name), true, sides, childId, 0, 0};
        // A leaf folder the destination lacks, with all it holds.
        if (sides == kOnBoth && level + 1 == shape_.levels &&
            Draw(childId, 0xF1) < folderThreshold_) {
          item.sides = kInSource;
        }
        items.push_back(std::move(item));
        // A leaf folder of the destination that the source lacks.
        if (sides == kOnBoth && level + 1 == shape_.levels &&
            Draw(childId, 0xF2) < folderThreshold_) {
          const std::uint64_t oldId = Mix(childId, 0x01DULL);
          std::string oldName = "old-" + FolderName(oldId, level + 1, b);
          items.push_back(
              Item{oldName, HashText(orderSeed, oldName), true, kInDestination, oldId, 0, 0});
        }
      }
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.order < b.order; });

    const std::size_t sourceLength = sourcePath.size();
    const std::size_t destinationLength = destinationPath.size();
    for (const Item& item : items) {
      sourcePath.resize(sourceLength);
      destinationPath.resize(destinationLength);
      sourcePath += item.name;
      destinationPath += item.name;
      const bool inSource = (item.sides & kInSource) != 0;
      const bool inDestination = (item.sides & kInDestination) != 0;
      if (inSource) {
        const bool escaped = source_.Add(sourcePath, !item.isFolder,
                                         item.isFolder ? "" : TimeStampText(item.sourceTime));
        if (escaped) ++expected_.escapedPaths;
      }
      if (inDestination) {
        destination_.Add(destinationPath, !item.isFolder,
                         item.isFolder ? "" : TimeStampText(item.destinationTime));
      }
      if (item.isFolder) {
        if (inSource && inDestination) ++expected_.identicalPairs;
        if (inSource && !inDestination) ++expected_.foldersMade;
        if (!inSource && inDestination) ++expected_.foldersRemoved;
        sourcePath += fts::kPathSeparator;
        destinationPath += fts::kPathSeparator;
        if (inSource) {
          Folder(level + 1, item.id, item.sides, sourcePath, destinationPath);
        } else {
          // A folder of the destination alone: about as full as the others.
          const std::uint64_t saved = folderOrdinal_;
          folderOrdinal_ = shape_.folders;  // no extra file, no count
          Folder(level + 1, item.id, item.sides, sourcePath, destinationPath);
          folderOrdinal_ = saved;
        }
      } else if (inSource && inDestination) {
        if (item.sourceTime == item.destinationTime) {
          ++expected_.identicalPairs;
        } else {
          ++expected_.retimedFiles;
          ++expected_.copies;
          ++expected_.deletions;
        }
      } else if (inSource) {
        ++expected_.copies;
      } else {
        ++expected_.deletions;
      }
    }
    sourcePath.resize(sourceLength);
    destinationPath.resize(destinationLength);
  }

  const Options& options_;
  TreeShape shape_;
  std::uint64_t changeThreshold_;
  std::uint64_t folderThreshold_;
  InventoryWriter source_;
  InventoryWriter destination_;
  std::uint64_t folderOrdinal_ = 0;
  Expected expected_;
};

// ---------------------------------------------------------------- restoring

// Sets every ActionFlag of an inventory back to "1", in place, and returns
// a hash of the restored contents. Records end in CR LF and no path holds a
// control byte unescaped, so the byte before each CR is a flag.
std::uint64_t RestoreFlags(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) FailErrno("cannot open", path);
  constexpr std::size_t kChunk = 4 << 20;
  std::vector<char> chunk(kChunk);
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd, chunk.data(), kChunk, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      FailErrno("cannot read", path);
    }
    if (got == 0) break;
    // Whole records only: the chunk ends after its last line end.
    std::size_t size = static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) == kChunk) {
      const char* end = static_cast<const char*>(memrchr(chunk.data(), '\n', size));
      if (end == nullptr) Fail(path + " holds a record longer than 4 MiB");
      size = static_cast<std::size_t>(end - chunk.data()) + 1;
    }
    bool changed = false;
    for (char* cr = static_cast<char*>(std::memchr(chunk.data(), '\r', size)); cr != nullptr;
         cr = static_cast<char*>(
             std::memchr(cr + 1, '\r', size - static_cast<std::size_t>(cr + 1 - chunk.data())))) {
      if (cr > chunk.data() && cr[-1] == '0') {
        cr[-1] = '1';
        changed = true;
      }
    }
    if (changed && pwrite(fd, chunk.data(), size, offset) != static_cast<ssize_t>(size)) {
      FailErrno("cannot write", path);
    }
    std::uint64_t words[2] = {0, 0};
    for (std::size_t i = 0; i < size; i += 16) {
      const std::size_t n = std::min<std::size_t>(16, size - i);
      words[0] = words[1] = 0;
      std::memcpy(words, chunk.data() + i, n);
      hash = (hash ^ words[0]) * 0x100000001B3ULL;
      hash = (hash ^ words[1] ^ (hash >> 29)) * 0x9E3779B97F4A7C15ULL;
    }
    hash = Mix(hash, size);
    offset += static_cast<off_t>(size);
  }
  // Nothing of ours is left to write back while the comparison runs.
  if (fdatasync(fd) != 0) FailErrno("cannot write", path);
  close(fd);
  return hash;
}

// Runs `work` in a child process and returns the text it hands back, so
// that the memory of generating and restoring never counts in the peak RSS
// of this process, which runs the comparison alone.
std::string InChild(const std::function<std::string()>& work) {
  int fds[2];
  if (pipe(fds) != 0) FailErrno("cannot make a pipe", "");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) FailErrno("cannot fork", "");
  if (pid == 0) {
    close(fds[0]);
    const std::string text = work();
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<std::size_t>(n);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("a child process failed");
  return text;
}

// Restores both inventories in a child; true when they hold what was
// generated.
bool RestoreBoth(const std::string& sourceName, const std::string& destinationName,
                 std::uint64_t sourceHash, std::uint64_t destinationHash) {
  return InChild([&] {
           const bool same = RestoreFlags(sourceName) == sourceHash &&
                             RestoreFlags(destinationName) == destinationHash;
           return std::string(same ? "same" : "changed");
         }) == "same";
}

// ---------------------------------------------------------------- measuring

std::uint64_t PeakRssKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss);
}

double CpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The peak RSS since the last reset (VmHWM), in KiB; 0 when unknown.
std::uint64_t HighWaterKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Sets the peak RSS back to the current RSS; false where the system cannot.
bool ResetHighWater() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

enum class Phase { kIndex, kMarking, kActions };
constexpr std::array<const char*, 3> kPhaseNames = {"index", "marking", "actions"};

// Times the phases one after the other: wall time, CPU time and the peak
// RSS of each.
class PhaseClock {
 public:
  struct Reading {
    double seconds = 0;
    double cpuSeconds = 0;
    std::uint64_t peakKiB = 0;
  };

  explicit PhaseClock(bool perPhasePeak) : perPhasePeak_(perPhasePeak) {}

  void Start(Phase phase) {
    Stop();
    current_ = static_cast<int>(phase);
    if (perPhasePeak_) ResetHighWater();
    cpu_ = CpuSeconds();
    wall_ = std::chrono::steady_clock::now();
  }

  void Stop() {
    if (current_ < 0) return;
    Reading& reading = readings_[static_cast<std::size_t>(current_)];
    reading.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
    reading.cpuSeconds = CpuSeconds() - cpu_;
    reading.peakKiB = perPhasePeak_ ? HighWaterKiB() : 0;
    current_ = -1;
  }

  const Reading& Of(Phase phase) const { return readings_[static_cast<std::size_t>(phase)]; }

 private:
  bool perPhasePeak_;
  int current_ = -1;
  double cpu_ = 0;
  std::chrono::steady_clock::time_point wall_;
  std::array<Reading, 3> readings_{};
};

// The platform of the system with a log that goes nowhere: the dry run's
// lines are counted, not written.
class SilentPlatform : public fts::ForwardingPlatform {
 public:
  explicit SilentPlatform(fts::Platform& inner) : ForwardingPlatform(inner) {}
  void WriteStdout(std::string_view text) override {
    ++lines_;
    bytes_ += text.size();
  }
  std::uint64_t Lines() const { return lines_; }
  std::uint64_t Bytes() const { return bytes_; }

 private:
  std::uint64_t lines_ = 0;
  std::uint64_t bytes_ = 0;
};

struct ComparisonOutcome {
  fts::MarkingResult marked;
  fts::ActionCounts done;
};

// What a run does after its listing: the index, the marking and the mirror
// actions, here in a dry run. Every call into the program's comparison is
// in this function, so that it is the one place to adapt when their
// signatures change.
ComparisonOutcome RunComparison(fts::Platform& platform, fts::ConsoleLog& log,
                                const fts::InventoryFiles& inventories,
                                const std::vector<std::string>& toRoots, PhaseClock& clock) {
  ComparisonOutcome outcome;
  clock.Start(Phase::kIndex);
  auto toLineIndex = fts::BuildToLineIndex(platform, inventories.destination.name);

  clock.Start(Phase::kMarking);
  log.WriteLog("Detect The Difference In These Folders...");
  const std::vector<std::string> unlistedSourceFolders;
  const std::unordered_set<std::string> foldersHoldingExcluded;
  outcome.marked = fts::MarkIdenticalRecords(platform, inventories, std::move(toLineIndex),
                                             {unlistedSourceFolders, foldersHoldingExcluded});

  clock.Start(Phase::kActions);
  const fts::MirrorPlan plan{toRoots, true, fts::WorkerCount{1, false}, {}, {}, nullptr};
  outcome.done = fts::RunMirrorActions(platform, log, inventories, plan);
  clock.Stop();
  return outcome;
}

// What one round measured and counted, handed from its process to the
// parent as one line of text.
struct RoundReport {
  std::array<PhaseClock::Reading, 3> phases{};
  bool perPhasePeak = false;
  std::uint64_t startKiB = 0;
  std::uint64_t maxRssKiB = 0;
  fts::MarkingResult marked;
  fts::ActionCounts done;
  std::uint64_t logLines = 0;
  std::uint64_t logBytes = 0;

  std::string Text() const {
    std::ostringstream out;
    for (const PhaseClock::Reading& reading : phases)
      out << reading.seconds << ' ' << reading.cpuSeconds << ' ' << reading.peakKiB << ' ';
    out << perPhasePeak << ' ' << startKiB << ' ' << maxRssKiB << ' ' << marked.identicalPairs
        << ' ' << marked.destinationEntries << ' ' << marked.destinationPending << ' '
        << marked.updatedFiles << ' ' << done.filesDeleted << ' ' << done.foldersRemoved << ' '
        << done.foldersMade << ' ' << done.filesCopied << ' ' << done.failed << ' ' << logLines
        << ' ' << logBytes;
    return out.str();
  }
  bool Read(const std::string& text) {
    std::istringstream in(text);
    for (PhaseClock::Reading& reading : phases)
      in >> reading.seconds >> reading.cpuSeconds >> reading.peakKiB;
    in >> perPhasePeak >> startKiB >> maxRssKiB >> marked.identicalPairs >>
        marked.destinationEntries >> marked.destinationPending >> marked.updatedFiles >>
        done.filesDeleted >> done.foldersRemoved >> done.foldersMade >> done.filesCopied >>
        done.failed >> logLines >> logBytes;
    return !in.fail();
  }
};

// One timed comparison on the restored inventories.
RoundReport RunRound(const std::string& sourceName, const std::string& destinationName) {
  RoundReport report;
  std::unique_ptr<fts::Platform> system = fts::MakeSystemPlatform();
  SilentPlatform platform(*system);
  fts::InventoryFiles inventories;
  inventories.source.name = sourceName;
  inventories.destination.name = destinationName;
  const std::vector<std::string> toRoots = {std::string(kDestinationRoot)};
  fts::ConsoleLog log(platform);
  log.SetDryRun(true);
  report.startKiB = HighWaterKiB();
  report.perPhasePeak = ResetHighWater() && HighWaterKiB() > 0;
  PhaseClock clock(report.perPhasePeak);
  try {
    const ComparisonOutcome outcome = RunComparison(platform, log, inventories, toRoots, clock);
    report.marked = outcome.marked;
    report.done = outcome.done;
  } catch (const std::exception& failure) {
    Fail(std::string("the comparison failed: ") + failure.what());
  }
  for (Phase phase : {Phase::kIndex, Phase::kMarking, Phase::kActions})
    report.phases[static_cast<std::size_t>(phase)] = clock.Of(phase);
  report.maxRssKiB = PeakRssKiB();
  report.logLines = platform.Lines();
  report.logBytes = platform.Bytes();
  return report;
}

// ---------------------------------------------------------------- main

std::uint64_t ParseCount(const std::string& text) {
  std::uint64_t scale = 1;
  std::string digits = text;
  if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) scale = 1000;
  if (!digits.empty() && (digits.back() == 'm' || digits.back() == 'M')) scale = 1000000;
  if (scale != 1) digits.pop_back();
  char* end = nullptr;
  const std::uint64_t value = std::strtoull(digits.c_str(), &end, 10);
  if (digits.empty() || end == digits.c_str() || *end != '\0') Fail("bad number '" + text + "'");
  return value * scale;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: fts_compare_bench [--entries N] [--work DIR] [--keep] [--rounds R]\n"
      "                         [--seed S] [--change-percent P]\n"
      "  --entries N         entries of the source tree; the suffixes k and m are allowed\n"
      "                      (default 1m, at least 100)\n"
      "  --work DIR          where the inventories go (default $TMPDIR/fts-compare-bench,\n"
      "                      else /tmp/fts-compare-bench)\n"
      "  --keep              keep the inventories for the next run (reused when their\n"
      "                      options match); without it they are deleted at the end\n"
      "  --rounds R          timed rounds (default 1)\n"
      "  --seed S            seed of the tree (default 1)\n"
      "  --change-percent P  share of entries that differ (default 1)\n");
  return 2;
}

std::string Mib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1048576.0);
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const char* tmp = std::getenv("TMPDIR");
  options.work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fts-compare-bench";
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--entries" && hasValue) {
      options.entries = ParseCount(args[++i]);
    } else if (arg == "--work" && hasValue) {
      options.work = args[++i];
    } else if (arg == "--rounds" && hasValue) {
      options.rounds = static_cast<int>(ParseCount(args[++i]));
    } else if (arg == "--seed" && hasValue) {
      options.seed = ParseCount(args[++i]);
    } else if (arg == "--change-percent" && hasValue) {
      options.changePercent = std::strtod(args[++i].c_str(), nullptr);
    } else {
      return Usage();
    }
  }
  if (options.entries < kFolderSize || options.rounds < 1 || options.changePercent < 0 ||
      options.changePercent > 50) {
    return Usage();
  }

  // The inventories of one set of options, and what they hold.
  char label[96];
  std::snprintf(label, sizeof label, "inventories-%" PRIu64 "-s%" PRIu64 "-p%g", options.entries,
                options.seed, options.changePercent);
  const std::string folder = options.work + "/" + label;
  const std::string sourceName = folder + "/source.txt";
  const std::string destinationName = folder + "/destination.txt";
  const std::string stampName = folder + "/made-by.txt";
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) Fail("cannot make folder " + folder + ": " + error.message());
  std::printf("load average at the start: %s\n", LoadAverage().c_str());

  // Reused when a kept pair was made with the same options and still holds
  // what was generated (flags aside).
  const std::string stampHead =
      "fts_compare_bench " + std::to_string(kGeneratorVersion) + " " + std::string(label);
  Expected expected;
  bool reuse = false;
  std::uint64_t sourceHash = 0;
  std::uint64_t destinationHash = 0;
  {
    std::ifstream stamp(stampName);
    std::string head, counts, hashes;
    if (std::getline(stamp, head) && std::getline(stamp, counts) && std::getline(stamp, hashes) &&
        head == stampHead && expected.Read(counts) && fs::exists(sourceName) &&
        fs::exists(destinationName) && fs::file_size(sourceName, error) == expected.sourceBytes &&
        fs::file_size(destinationName, error) == expected.destinationBytes) {
      std::istringstream in(hashes);
      in >> sourceHash >> destinationHash;
      Say("checking the kept inventories in " + folder);
      reuse = RestoreBoth(sourceName, destinationName, sourceHash, destinationHash);
      if (!reuse) Say("they differ from what was generated: generating them anew");
    }
  }
  const TreeShape shape = ShapeFor(options.entries);
  if (!reuse) {
    fs::remove(stampName, error);
    Say("generating the inventories of " + std::to_string(options.entries) + " entries in " +
        folder + " (about " + Mib(options.entries * 2 * 160) + " MiB, " +
        (options.keep ? "kept for the next run: --keep)" : "deleted at the end unless --keep)"));
    const auto start = std::chrono::steady_clock::now();
    std::istringstream made(InChild([&] {
      Generator generator(options, sourceName, destinationName);
      const Expected counts = generator.Run();
      return counts.Text() + "\n" + std::to_string(RestoreFlags(sourceName)) + " " +
             std::to_string(RestoreFlags(destinationName)) + "\n";
    }));
    std::string counts;
    std::getline(made, counts);
    made >> sourceHash >> destinationHash;
    if (!expected.Read(counts) || made.fail()) Fail("the generator handed back nothing");
    std::ofstream stamp(stampName);
    stamp << stampHead << '\n'
          << expected.Text() << '\n'
          << sourceHash << ' ' << destinationHash << '\n';
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Say("generated in " + std::to_string(static_cast<int>(seconds + 0.5)) + " s");
  }

  std::printf("tree: %" PRIu64 " entries, %" PRIu64 " folders, %d levels below the root, %" PRIu64
              " or %" PRIu64 " files and %d sub-folders a folder, seed %" PRIu64 "\n",
              options.entries, shape.folders - 1, shape.levels, shape.filesPerFolder,
              shape.filesPerFolder + 1, kBranching, options.seed);
  std::printf("source inventory: %" PRIu64 " records, %s MiB; destination: %" PRIu64
              " records, %s MiB; %" PRIu64 " source records escaped\n",
              expected.sourceRecords, Mib(expected.sourceBytes).c_str(),
              expected.destinationRecords, Mib(expected.destinationBytes).c_str(),
              expected.escapedPaths);
  std::printf("differences (%g %%): %" PRIu64 " files older in the destination, %" PRIu64
              " copies, %" PRIu64 " deletions, %" PRIu64 " folders to make, %" PRIu64
              " to remove\n",
              options.changePercent, expected.retimedFiles, expected.copies, expected.deletions,
              expected.foldersMade, expected.foldersRemoved);
  std::fflush(stdout);

  std::printf(
      "\n| round | index s | marking s | actions s | total s | CPU s | peak RSS MiB"
      " (index, marking, actions) | load average |\n");
  std::printf("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |\n");
  std::array<std::vector<double>, 3> phaseSeconds;
  std::vector<double> totals;
  RoundReport last;
  std::uint64_t peakKiB = 0;
  bool allChecked = true;
  for (int round = 1; round <= options.rounds; ++round) {
    // Every flag back to "1"; the first round's were restored above.
    if (round > 1 && !RestoreBoth(sourceName, destinationName, sourceHash, destinationHash)) {
      Fail("the inventories changed beyond their flags");
    }
    // Each round in a process of its own, which starts as small as the
    // program does when its listing ends.
    RoundReport report;
    if (!report.Read(InChild([&] { return RunRound(sourceName, destinationName).Text(); }))) {
      Fail("a round handed back nothing");
    }

    // The counts must be what the generator made.
    auto check = [&](const char* what, std::int64_t got, std::uint64_t want) {
      if (got == static_cast<std::int64_t>(want)) return;
      std::fprintf(stderr, "fts_compare_bench: round %d: %s %" PRId64 ", expected %" PRIu64 "\n",
                   round, what, got, want);
      allChecked = false;
    };
    check("identical pairs", report.marked.identicalPairs, expected.identicalPairs);
    check("destination entries", report.marked.destinationEntries, expected.destinationRecords);
    check("destination entries pending", report.marked.destinationPending,
          expected.destinationRecords - expected.identicalPairs);
    check("updated files", report.marked.updatedFiles, expected.retimedFiles);
    check("files deleted", report.done.filesDeleted, expected.deletions);
    check("folders removed", report.done.foldersRemoved, expected.foldersRemoved);
    check("folders made", report.done.foldersMade, expected.foldersMade);
    check("files copied", report.done.filesCopied, expected.copies);
    check("failed actions", report.done.failed, 0);

    double total = 0;
    double cpu = 0;
    std::string peaks;
    for (std::size_t phase = 0; phase < report.phases.size(); ++phase) {
      const PhaseClock::Reading& reading = report.phases[phase];
      phaseSeconds[phase].push_back(reading.seconds);
      total += reading.seconds;
      cpu += reading.cpuSeconds;
      peakKiB = std::max(peakKiB, reading.peakKiB);
      if (!peaks.empty()) peaks += ", ";
      peaks += report.perPhasePeak ? Mib(reading.peakKiB * 1024) : "?";
    }
    if (!report.perPhasePeak) peakKiB = std::max(peakKiB, report.maxRssKiB);
    totals.push_back(total);
    std::printf("| %d | %.2f | %.2f | %.2f | %.2f | %.2f | %s | %s |\n", round,
                report.phases[0].seconds, report.phases[1].seconds, report.phases[2].seconds, total,
                cpu, peaks.c_str(), LoadAverage().c_str());
    std::fflush(stdout);
    last = report;
  }
  if (options.rounds > 1) {
    std::printf("| median | %.2f | %.2f | %.2f | %.2f | | | |\n", Median(phaseSeconds[0]),
                Median(phaseSeconds[1]), Median(phaseSeconds[2]), Median(totals));
  }
  std::printf("\ndry-run log: %" PRIu64 " lines, %s MiB (discarded)\n", last.logLines,
              Mib(last.logBytes).c_str());
  if (last.perPhasePeak) {
    std::printf(
        "peak RSS: %s MiB (the highest VmHWM of a phase, reset before each phase);"
        " %s MiB when the comparison began\n",
        Mib(peakKiB * 1024).c_str(), Mib(last.startKiB * 1024).c_str());
  } else {
    std::printf("peak RSS: %s MiB (ru_maxrss; this system cannot tell the phases apart)\n",
                Mib(peakKiB * 1024).c_str());
  }
  std::printf("counts checked against the generated differences: %s\n",
              allChecked ? "all equal" : "MISMATCH (see standard error)");
  std::printf("load average at the end: %s\n", LoadAverage().c_str());

  if (options.keep) {
    Say("inventories kept in " + folder);
  } else {
    Say("deleting the inventories in " + folder);
    fs::remove(sourceName, error);
    fs::remove(destinationName, error);
    fs::remove(stampName, error);
    fs::remove(folder, error);        // only when empty
    fs::remove(options.work, error);  // likewise
  }
  return allChecked ? 0 : 1;
}
