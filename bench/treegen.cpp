// fts_treegen: writes seeded, reproducible folder trees for the benchmark,
// and derives a changed copy of such a tree in place.
//
//   fts_treegen generate PRESET DIR [--seed N]
//   fts_treegen change   PRESET DIR [--seed N]
//   fts_treegen presets
//
// For one preset and seed every name, size, content byte and modification
// time is the same on every run and every machine. `change` expects the
// tree that `generate` made with the same preset and seed (or an exact
// mirror of it) and then yields the same changed tree every time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "seeded_random.h"

namespace {

namespace fs = std::filesystem;

struct Preset {
  std::string_view name;
  std::string_view summary;
  std::uint64_t files;     // small files
  int branching;           // sub-folders per folder
  int depth;               // levels of folders below the root
  bool filesInLeavesOnly;  // else spread over every folder below the root
  std::uint64_t minSize;
  std::uint64_t maxSize;
  std::uint64_t bigFiles;
  std::uint64_t bigMinSize;
  std::uint64_t bigMaxSize;
};

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;

constexpr std::array<Preset, 4> kPresets = {{
    {"tiny", "300 files of 0-16 KiB plus 1 of 256 KiB-1 MiB in 30 folders", 300, 5, 2, false, 0,
     16 * kKiB, 1, 256 * kKiB, 1 * kMiB},
    {"10k", "10,000 files of 0-16 KiB plus 2 of 2-8 MiB in 110 folders", 10000, 10, 2, false, 0,
     16 * kKiB, 2, 2 * kMiB, 8 * kMiB},
    {"100k", "100,000 files of 0-16 KiB plus 20 of 2-8 MiB in 1,110 folders", 100000, 10, 3, false,
     0, 16 * kKiB, 20, 2 * kMiB, 8 * kMiB},
    {"1m", "1,000,000 empty files in 11,110 folders, 4 levels deep", 1000000, 10, 4, true, 0, 0, 0,
     0, 0},
}};

// Times are whole seconds since 1970 (UTC); every generated time lies
// between 2019 and 2022, the changed ones up to a year later.
constexpr std::int64_t kBaseTime = 1546300800;  // 2019-01-01 00:00:00 UTC
constexpr std::int64_t kDay = 86400;

using fts::bench::HashText;
using fts::bench::Mix;
using fts::bench::Random;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "fts_treegen: %s\n", message.c_str());
  std::exit(1);
}

void FailErrno(const std::string& what, const std::string& path) {
  Fail(what + " " + path + ": " + std::strerror(errno));
}

struct timespec TimeOf(std::int64_t seconds, std::uint64_t nanoseconds) {
  struct timespec time {};
  time.tv_sec = static_cast<time_t>(seconds);
  time.tv_nsec = static_cast<long>(nanoseconds % 1000000000ULL);
  return time;
}

// A file's time: somewhere in 2019-2020, with nanoseconds.
struct timespec FileTime(Random& random) {
  const auto seconds = static_cast<std::int64_t>(random.Between(0, 2 * 365 * kDay));
  return TimeOf(kBaseTime + seconds, random.Next());
}

void SetPathTime(const std::string& path, const struct timespec& time) {
  const struct timespec times[2] = {time, time};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    FailErrno("cannot set the time of", path);
  }
}

void MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) FailErrno("cannot make folder", path);
}

// Writes `size` pseudo-random bytes drawn from `contentSeed` and sets the
// file's time.
void WriteFile(const std::string& path, std::uint64_t size, std::uint64_t contentSeed,
               const struct timespec& time) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) FailErrno("cannot create", path);
  static std::vector<std::uint64_t> block(64 * kKiB / sizeof(std::uint64_t));
  Random random(contentSeed);
  std::uint64_t left = size;
  while (left > 0) {
    const std::uint64_t chunk = std::min<std::uint64_t>(left, 64 * kKiB);
    const std::size_t words = static_cast<std::size_t>((chunk + 7) / 8);
    for (std::size_t i = 0; i < words; ++i)
      block[i] = random.Next();
    const char* data = reinterpret_cast<const char*>(block.data());
    std::uint64_t written = 0;
    while (written < chunk) {
      const ssize_t n = write(fd, data + written, static_cast<std::size_t>(chunk - written));
      if (n < 0) {
        if (errno == EINTR) continue;
        FailErrno("cannot write", path);
      }
      written += static_cast<std::uint64_t>(n);
    }
    left -= chunk;
  }
  const struct timespec times[2] = {time, time};
  if (futimens(fd, times) != 0) FailErrno("cannot set the time of", path);
  if (close(fd) != 0) FailErrno("cannot close", path);
}

// File names: mostly plain, with a few spaces, commas, quotes and accented
// letters as real trees have them.
std::string FileName(Random& random, std::uint64_t index) {
  std::string name(fts::bench::kFileStems[random.Next() % fts::bench::kFileStems.size()]);
  switch (random.Next() % 200) {
    case 0:
      name += " copy";
      break;
    case 1:
      name += ",final";
      break;
    case 2:
      name += "\xC3\xA9t\xC3\xA9";  // "été" in UTF-8
      break;
    case 3:
      name += "\"q\"";
      break;
    default:
      break;
  }
  char number[32];
  std::snprintf(number, sizeof number, "-%06llu-%04llx", static_cast<unsigned long long>(index),
                static_cast<unsigned long long>(random.Next() & 0xFFFF));
  name += number;
  name += fts::bench::kFileExtensions[random.Next() % fts::bench::kFileExtensions.size()];
  return name;
}

std::string FolderName(int level, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "L%d-folder-%02d", level, index);
  return name;
}

const Preset& FindPreset(std::string_view name) {
  for (const Preset& preset : kPresets) {
    if (preset.name == name) return preset;
  }
  Fail("unknown preset '" + std::string(name) + "' (see: fts_treegen presets)");
}

std::uint64_t SmallFileSize(const Preset& preset, Random& random) {
  return random.Between(preset.minSize, preset.maxSize);
}

// Gives every folder of the tree a time of its own, so that whole trees
// compare equal, folder times included.
void SetFolderTimes(const std::string& root, std::uint64_t seed) {
  std::vector<std::string> folders;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) folders.push_back(it->path().string());
  }
  if (error) Fail("cannot list " + root + ": " + error.message());
  folders.push_back(root);
  for (const std::string& folder : folders) {
    const std::string rel = folder.size() > root.size() ? folder.substr(root.size()) : "";
    Random random(HashText(seed ^ 0xF01DE2ULL, rel));
    SetPathTime(folder, FileTime(random));
  }
}

struct Counts {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;
  std::uint64_t bytes = 0;
};

Counts Generate(const Preset& preset, const std::string& root, std::uint64_t seed) {
  struct stat st;
  if (stat(root.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) Fail(root + " exists and is not a folder");
    if (!fs::is_empty(root)) Fail(root + " is not empty");
  } else {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) Fail("cannot make folder " + root + ": " + error.message());
  }

  // Folders, breadth first: index 0 is the root.
  std::vector<std::string> folders = {root};
  std::vector<int> levels = {0};
  std::vector<std::size_t> leaves;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (levels[i] == preset.depth) {
      leaves.push_back(i);
      continue;
    }
    for (int b = 0; b < preset.branching; ++b) {
      folders.push_back(folders[i] + "/" + FolderName(levels[i] + 1, b));
      levels.push_back(levels[i] + 1);
    }
  }
  for (std::size_t i = 1; i < folders.size(); ++i)
    MakeFolder(folders[i]);

  // Where each file goes: leaves only, or any folder below the root.
  Random placement(Mix(seed, 0x91ACE));
  const std::uint64_t total = preset.files + preset.bigFiles;
  std::vector<std::vector<std::uint64_t>> filesOf(folders.size());
  for (std::uint64_t f = 0; f < total; ++f) {
    std::size_t folder = 0;
    if (preset.filesInLeavesOnly) {
      folder = leaves[placement.Next() % leaves.size()];
    } else if (folders.size() > 1) {
      folder = 1 + placement.Next() % (folders.size() - 1);
    }
    filesOf[folder].push_back(f);
  }

  Counts counts;
  counts.folders = folders.size() - 1;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    for (std::uint64_t f : filesOf[i]) {
      Random random(Mix(seed, f));
      const bool big = f >= preset.files;
      const std::uint64_t size = big ? random.Between(preset.bigMinSize, preset.bigMaxSize)
                                     : SmallFileSize(preset, random);
      const std::string name = FileName(random, f);
      const struct timespec time = FileTime(random);
      WriteFile(folders[i] + "/" + name, size, random.Next(), time);
      ++counts.files;
      counts.bytes += size;
    }
  }
  SetFolderTimes(root, seed);
  return counts;
}

struct Entry {
  std::string rel;  // relative to the root, without a leading '/'
  int depth;        // 1 for an entry right in the root
};

int DepthOf(std::string_view rel) {
  return 1 + static_cast<int>(std::count(rel.begin(), rel.end(), '/'));
}

bool IsUnder(std::string_view rel, std::string_view folder) {
  return rel.size() > folder.size() && rel.starts_with(folder) && rel[folder.size()] == '/';
}

// Picks `count` distinct indices out of [0, size), in a fixed order for a
// given random state.
std::vector<std::size_t> PickDistinct(Random& random, std::size_t size, std::size_t count) {
  std::vector<std::size_t> order(size);
  for (std::size_t i = 0; i < size; ++i)
    order[i] = i;
  count = std::min(count, size);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t j = i + static_cast<std::size_t>(random.Next() % (size - i));
    std::swap(order[i], order[j]);
  }
  order.resize(count);
  return order;
}

struct ChangeCounts {
  std::uint64_t touched = 0;
  std::uint64_t deleted = 0;
  std::uint64_t added = 0;
  std::uint64_t subtreeAddedFiles = 0;
  std::uint64_t subtreeRemovedFiles = 0;
  std::string subtreeAdded;
  std::string subtreeRemoved;
};

ChangeCounts Change(const Preset& preset, const std::string& root, std::uint64_t seed) {
  std::vector<Entry> files;
  std::vector<Entry> folders;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string rel = it->path().string().substr(root.size() + 1);
    if (it->is_directory(error)) {
      folders.push_back({rel, DepthOf(rel)});
    } else {
      files.push_back({rel, DepthOf(rel)});
    }
  }
  if (error) Fail("cannot list " + root + ": " + error.message());
  if (files.empty() || folders.empty()) Fail(root + " holds no generated tree");
  const auto byName = [](const Entry& a, const Entry& b) { return a.rel < b.rel; };
  std::sort(files.begin(), files.end(), byName);
  std::sort(folders.begin(), folders.end(), byName);

  Random random(Mix(seed, 0xC4A96E));
  ChangeCounts counts;

  // One removed subtree: a folder of the deepest level.
  int deepest = 0;
  for (const Entry& folder : folders)
    deepest = std::max(deepest, folder.depth);
  std::vector<std::size_t> deepFolders;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (folders[i].depth == deepest) deepFolders.push_back(i);
  }
  const std::string removed = folders[deepFolders[random.Next() % deepFolders.size()]].rel;
  counts.subtreeRemoved = removed;
  std::erase_if(files, [&](const Entry& file) {
    if (!IsUnder(file.rel, removed)) return false;
    ++counts.subtreeRemovedFiles;
    return true;
  });
  std::erase_if(folders, [&](const Entry& folder) {
    return folder.rel == removed || IsUnder(folder.rel, removed);
  });
  fs::remove_all(root + "/" + removed, error);
  if (error) Fail("cannot remove " + removed + ": " + error.message());

  // 1 % touched and 1 % deleted, disjoint.
  const std::size_t onePercent = std::max<std::size_t>(1, files.size() / 100);
  const std::vector<std::size_t> picked = PickDistinct(random, files.size(), 2 * onePercent);
  for (std::size_t k = 0; k < picked.size(); ++k) {
    const std::string path = root + "/" + files[picked[k]].rel;
    if (k < onePercent) {
      Random touch(HashText(seed ^ 0x70C4ULL, files[picked[k]].rel));
      struct stat st;
      if (stat(path.c_str(), &st) != 0) FailErrno("cannot read", path);
      // Days later than before, and still in the past.
      const auto later = static_cast<std::int64_t>(touch.Between(3 * kDay, 365 * kDay));
      SetPathTime(path, TimeOf(static_cast<std::int64_t>(st.st_mtim.tv_sec) + later, touch.Next()));
      ++counts.touched;
    } else {
      if (unlink(path.c_str()) != 0) FailErrno("cannot delete", path);
      ++counts.deleted;
    }
  }

  // 1 % added, in folders of every level.
  const std::uint64_t firstNewIndex = 10000000;
  for (std::size_t k = 0; k < onePercent; ++k) {
    Random file(Mix(seed ^ 0xADDULL, k));
    const std::string& folder = folders[file.Next() % folders.size()].rel;
    const std::string name = "new-" + FileName(file, firstNewIndex + k);
    WriteFile(root + "/" + folder + "/" + name, SmallFileSize(preset, file), file.Next(),
              FileTime(file));
    ++counts.added;
  }

  // One new subtree of a parent and three sub-folders, holding about a
  // tenth of a per cent of the files (at least four).
  std::vector<std::size_t> parents;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (folders[i].depth < deepest) parents.push_back(i);
  }
  const std::string parent =
      parents.empty() ? std::string() : folders[parents[random.Next() % parents.size()]].rel;
  const std::string subtree = (parent.empty() ? "" : parent + "/") + "added-subtree";
  counts.subtreeAdded = subtree;
  MakeFolder(root + "/" + subtree);
  std::vector<std::string> subFolders = {subtree};
  for (int b = 0; b < 3; ++b) {
    subFolders.push_back(subtree + "/" + FolderName(0, b));
    MakeFolder(root + "/" + subFolders.back());
  }
  const std::size_t subtreeFiles = std::max<std::size_t>(4, files.size() / 1000);
  for (std::size_t k = 0; k < subtreeFiles; ++k) {
    Random file(Mix(seed ^ 0x5B7EEULL, k));
    const std::string& folder = subFolders[k % subFolders.size()];
    const std::string name = FileName(file, firstNewIndex + onePercent + k);
    WriteFile(root + "/" + folder + "/" + name, SmallFileSize(preset, file), file.Next(),
              FileTime(file));
    ++counts.subtreeAddedFiles;
  }

  SetFolderTimes(root, seed ^ 0xC4A96EULL);
  return counts;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

int Usage() {
  std::fprintf(stderr,
               "usage: fts_treegen generate PRESET DIR [--seed N]\n"
               "       fts_treegen change   PRESET DIR [--seed N]\n"
               "       fts_treegen presets\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "presets") {
    for (const Preset& preset : kPresets) {
      std::printf("%-5s %s\n", std::string(preset.name).c_str(),
                  std::string(preset.summary).c_str());
    }
    return 0;
  }
  std::uint64_t seed = 1;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--seed" && i + 1 < args.size()) {
      char* end = nullptr;
      seed = std::strtoull(args[i + 1].c_str(), &end, 10);
      if (end == args[i + 1].c_str() || *end != '\0') Fail("bad seed '" + args[i + 1] + "'");
      ++i;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 3) return Usage();
  const Preset& preset = FindPreset(positional[1]);
  const std::string root = StripTrailingSlashes(positional[2]);

  if (positional[0] == "generate") {
    const Counts counts = Generate(preset, root, seed);
    std::printf("generated %s (seed %llu): %llu files, %llu folders, %llu bytes\n",
                std::string(preset.name).c_str(), static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(counts.files),
                static_cast<unsigned long long>(counts.folders),
                static_cast<unsigned long long>(counts.bytes));
    return 0;
  }
  if (positional[0] == "change") {
    const ChangeCounts counts = Change(preset, root, seed);
    std::printf(
        "changed %s (seed %llu): %llu touched, %llu deleted, %llu added, subtree %s added "
        "(%llu files), subtree %s removed (%llu files)\n",
        std::string(preset.name).c_str(), static_cast<unsigned long long>(seed),
        static_cast<unsigned long long>(counts.touched),
        static_cast<unsigned long long>(counts.deleted),
        static_cast<unsigned long long>(counts.added), counts.subtreeAdded.c_str(),
        static_cast<unsigned long long>(counts.subtreeAddedFiles), counts.subtreeRemoved.c_str(),
        static_cast<unsigned long long>(counts.subtreeRemovedFiles));
    return 0;
  }
  return Usage();
}
