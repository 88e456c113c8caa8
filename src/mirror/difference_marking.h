// Finds the identical pairs (same RelPath, same TimeStamp) and overwrites the
// ActionFlag "1" of both records with "0", in place in both inventories.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "inventory/inventory_files.h"
#include "platform/platform.h"

namespace fts {

struct MarkingResult {
  std::int64_t identicalPairs = 0;
  std::int64_t destinationEntries = 0;
  // Destination entries still pending: those the mirror deletes or removes.
  std::int64_t destinationPending = 0;
  // Files on both sides with different times: each is deleted and copied
  // afresh, an update rather than a loss.
  std::int64_t updatedFiles = 0;
};

// Destination entries that stay whatever the source holds.
struct KeptEntries {
  // RelPaths of source folders that could not be listed: everything at or
  // below them in the destination stays, so that a read error never leads
  // to a deletion ("" for the root).
  const std::vector<std::string>& unlistedSourceFolders;
  // RelPaths of destination folders that hold excluded entries.
  const std::unordered_set<std::string>& foldersHoldingExcluded;
};

// For every source record, bisects ToLineIndex for the destination record of
// the same RelPath and marks both records of each identical pair; the kept
// destination entries are marked too. Takes ToLineIndex over and uses it up.
MarkingResult MarkIdenticalRecords(Platform& platform, const InventoryFiles& inventories,
                                   std::vector<std::int64_t> toLineIndex, const KeptEntries& kept);

// The bisection over ToLineIndex entries lo..hi: calls `relPathAt(entry)`
// for each probe and returns the entry whose RelPath equals `relPath`, or
// -1. A move of `lo` that makes no progress sends the next probe to `hi`.
template <typename RelPathAt>
std::int64_t BisectToLineIndex(std::int64_t lo, std::int64_t hi, std::string_view relPath,
                               RelPathAt&& relPathAt) {
  auto mid = [](std::int64_t a, std::int64_t b) { return (a + b) / 2; };
  if (lo > hi) return -1;
  std::int64_t lastLo = -1;
  std::int64_t probe = mid(lo, hi);
  for (;;) {
    const int order = relPath.compare(relPathAt(probe));
    if (order == 0) return probe;
    if (order > 0) {
      lo = mid(lo, hi);
      probe = mid(lo, hi);
      if (lo == hi) return -1;
      if (lo == lastLo) {
        lo = hi;
        probe = hi;
      }
      lastLo = lo;
    } else {
      hi = mid(lo, hi);
      probe = mid(lo, hi);
      if (lo == hi) return -1;
    }
  }
}

}  // namespace fts
