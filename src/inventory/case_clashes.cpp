#include "inventory/case_clashes.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace fts {
namespace {

constexpr std::uint64_t kHashStart = 14695981039346656037ull;

std::uint64_t HashOf(std::string_view text) {
  std::uint64_t hash = kHashStart;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

// The hash of an ASCII name in upper case, eight bytes at a time; false for
// a name with other bytes. Keys only need to be equal for equal folded
// names: HashOf is used for the others, which never meet an ASCII name's
// key except by chance, and chance equals are compared again.
bool HashAsciiUpper(std::string_view name, std::uint64_t& hash) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  hash = kHashStart ^ name.size();
  for (std::size_t at = 0; at < name.size(); at += 8) {
    std::uint64_t word = 0;
    if (name.size() - at >= 8) {
      std::memcpy(&word, name.data() + at, 8);
    } else {
      std::memcpy(&word, name.data() + at, name.size() - at);
    }
    if ((word & kHigh) != 0) return false;
    // 0x80 in each byte from 'a' to 'z': those lose 0x20.
    const std::uint64_t aboveA = word + (0x80 - 'a') * kOnes;
    const std::uint64_t aboveZ = word + (0x80 - 'z' - 1) * kOnes;
    const std::uint64_t lower = aboveA & ~aboveZ & kHigh;
    word -= lower >> 2;
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  return true;
}

std::string_view NameIn(std::string_view relPath) {
#ifdef __GLIBC__
  // Called for every source entry: the library's search is the fast one.
  const void* separator = memrchr(relPath.data(), kPathSeparator, relPath.size());
  if (separator == nullptr) return relPath;
  return relPath.substr(
      static_cast<std::size_t>(static_cast<const char*>(separator) - relPath.data()) + 1);
#else
  const auto separator = relPath.rfind(kPathSeparator);
  return separator == std::string_view::npos ? relPath : relPath.substr(separator + 1);
#endif
}

std::string_view FolderOf(std::string_view relPath) {
  const auto separator = relPath.rfind(kPathSeparator);
  return separator == std::string_view::npos ? std::string_view() : relPath.substr(0, separator);
}

}  // namespace

CaseClashFinder::CaseClashFinder(std::function<std::string(std::string_view)> fold)
    : fold_(std::move(fold)) {}

std::string CaseClashFinder::Folded(std::string_view name) const {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return fold_(name);
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

void CaseClashFinder::Add(std::int32_t level, std::string_view relPath) {
  const auto at = static_cast<std::size_t>(std::max(level, 0));
  CloseDeeperThan(at + 1);
  while (open_ < at + 1) {
    if (folders_.size() == open_) folders_.emplace_back();
    ++open_;
  }
  Folder& folder = folders_[at];
  const std::string_view name = NameIn(relPath);
  std::uint64_t key;
  if (!HashAsciiUpper(name, key)) {
    // Folded, a name may become ASCII (a long s becomes S): its key is then
    // that of the ASCII names it equals.
    const std::string folded = Folded(name);
    if (!HashAsciiUpper(folded, key)) key = HashOf(folded);
  }
  if (folder.entries.empty()) folder.path = FolderOf(relPath);
  folder.entries.push_back({key, static_cast<std::uint32_t>(folder.names.size()),
                            static_cast<std::uint32_t>(name.size())});
  folder.names += name;
}

void CaseClashFinder::EndWalk() {
  CloseDeeperThan(0);
}

std::vector<CaseClash> CaseClashFinder::Take() {
  EndWalk();
  std::vector<CaseClash> clashes = std::move(clashes_);
  clashes_.clear();
  return clashes;
}

void CaseClashFinder::CloseDeeperThan(std::size_t open) {
  while (open_ > open) {
    Close(folders_[--open_]);
  }
}

// Each folder's keys go into a small open-addressed table; an entry whose
// key is there already is compared, folded, with the earlier entries of its
// key, so that keys equal by chance make no clash.
void CaseClashFinder::Close(Folder& folder) {
  auto& entries = folder.entries;
  if (entries.size() > 1) {
    std::size_t capacity = 4;
    while (capacity < entries.size() * 2)
      capacity <<= 1;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::uint64_t key = entries[i].key;
      std::size_t slot = key & mask;
      while (slots_[slot] != 0 && entries[slots_[slot] - 1].key != key)
        slot = (slot + 1) & mask;
      if (slots_[slot] != 0) {
        Report(folder, i);
      } else {
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
      }
    }
  }
  entries.clear();
  folder.names.clear();
}

// Entry `i` against the earlier entries of its folder with its key: the
// first one of the same folded name is the one it clashes with.
void CaseClashFinder::Report(const Folder& folder, std::size_t i) {
  const auto& entries = folder.entries;
  const auto nameOf = [&](const Entry& entry) {
    return std::string_view(folder.names).substr(entry.at, entry.length);
  };
  const auto relPathOf = [&](const Entry& entry) {
    return folder.path.empty() ? std::string(nameOf(entry))
                               : folder.path + kPathSeparator + std::string(nameOf(entry));
  };
  const std::string folded = Folded(nameOf(entries[i]));
  for (std::size_t j = 0; j < i; ++j) {
    if (entries[j].key != entries[i].key || Folded(nameOf(entries[j])) != folded) continue;
    clashes_.push_back({folder.path, relPathOf(entries[j]), relPathOf(entries[i])});
    return;
  }
}

}  // namespace fts
