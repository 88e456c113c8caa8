// The source entries that a destination folder cannot hold: where it
// ignores letter case, only the first of the names that differ in case
// alone is mirrored. The others are neither paired with a destination
// entry nor made; each of them (and everything below a folder among them)
// fails with a text that names the entry it clashes with.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/case_clashes.h"
#include "platform/platform.h"

namespace fts {

class RefusedNames {
 public:
  RefusedNames() = default;
  explicit RefusedNames(const std::vector<CaseClash>& clashes);

  bool Empty() const { return byLoser_.empty(); }
  // True for an entry that clashes with another (not for what lies below it).
  bool Clashes(std::string_view relPath) const;
  // The clash of the entry or of a folder above it; nullptr when none.
  const CaseClash* ClashOf(std::string_view relPath) const;

 private:
  std::unordered_map<std::string, CaseClash> byLoser_;
};

// The clashes in folders that ignore letter case in at least one of the
// destination roots (each ending in the separator), so that every root
// holds the same entries. With `mayWrite`, a file may be made and deleted
// in a destination folder to find that out.
RefusedNames RefuseCaseClashes(Platform& platform, const std::vector<CaseClash>& clashes,
                               const std::vector<std::string>& toRoots, bool mayWrite);

// The failure of a refused entry in the destination root `toRoot`.
Status ClashFailure(const CaseClash& clash, const std::string& toRoot);

}  // namespace fts
