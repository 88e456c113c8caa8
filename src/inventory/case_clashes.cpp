#include "inventory/case_clashes.h"

#include <algorithm>

#include "platform/platform.h"

namespace fts {
namespace {

std::uint64_t HashOf(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string_view NameIn(std::string_view relPath) {
  const auto separator = relPath.rfind(kPathSeparator);
  return separator == std::string_view::npos ? relPath : relPath.substr(separator + 1);
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
  folder.entries.push_back({HashOf(Folded(NameIn(relPath))),
                            static_cast<std::uint32_t>(folder.entries.size()),
                            static_cast<std::uint32_t>(folder.relPaths.size()),
                            static_cast<std::uint32_t>(relPath.size())});
  folder.relPaths += relPath;
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

// Names of equal keys are folded again and compared, so that two keys that
// are equal by chance make no clash.
void CaseClashFinder::Close(Folder& folder) {
  auto& entries = folder.entries;
  if (entries.size() > 1) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return a.key != b.key ? a.key < b.key : a.order < b.order;
    });
    const auto relPathOf = [&](const Entry& entry) {
      return std::string_view(folder.relPaths).substr(entry.at, entry.length);
    };
    for (std::size_t first = 0; first < entries.size();) {
      std::size_t end = first + 1;
      while (end < entries.size() && entries[end].key == entries[first].key)
        ++end;
      // Each entry clashes with the first one of its folded name.
      for (std::size_t i = first + 1; i < end; ++i) {
        const std::string folded = Folded(NameIn(relPathOf(entries[i])));
        for (std::size_t j = first; j < i; ++j) {
          if (Folded(NameIn(relPathOf(entries[j]))) != folded) continue;
          const std::string_view loser = relPathOf(entries[i]);
          clashes_.push_back({std::string(FolderOf(loser)), std::string(relPathOf(entries[j])),
                              std::string(loser)});
          break;
        }
      }
      first = end;
    }
  }
  entries.clear();
  folder.relPaths.clear();
}

}  // namespace fts
