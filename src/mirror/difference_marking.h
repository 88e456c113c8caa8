// Finds the identical pairs (same RelPath, same TimeStamp) and overwrites the
// ActionFlag "1" of both records with "0", in place in both inventories.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "inventory/inventory_files.h"
#include "mirror/line_index.h"
#include "mirror/name_clashes.h"
#include "mirror/pair_verdict.h"
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
  // Pairs that differ only in what is set in place: the source record is
  // marked "2", the destination record "0".
  std::int64_t mendedPairs = 0;
  // With hard links kept: for each source group (its facts' group part), the
  // RelPath of a member whose destination counterpart stays, so that the
  // group's new names can be linked to it.
  std::unordered_map<std::string, std::string> linkAnchors;
};

// How pairs are judged when the records carry facts.
struct FactsComparison {
  bool contents = false;  // files whose facts agree are read and compared
  LinkLeaders leaders;
  int readers = 4;  // files read at a time for that
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

// One pass over the source inventory, folder by folder: the entries of each
// destination folder that has a source counterpart are read from the
// destination inventory when the source gets there, sorted by name, and
// each source record is looked for among them by bisection. Both records of
// every identical pair are marked, and the kept destination entries too.
// Without `facts`, a pair is identical when its TimeStamps are equal. A
// refused source entry has no counterpart.
MarkingResult MarkIdenticalRecords(Platform& platform, const InventoryFiles& inventories,
                                   const ToLineIndex& toLineIndex, const KeptEntries& kept,
                                   const FactsComparison* facts = nullptr,
                                   const RefusedNames* refused = nullptr);

// The bisection over entries lo..hi of a folder, sorted by name: calls
// `nameAt(entry)` for each probe and returns the entry whose name equals
// `name`, or -1. A move of `lo` that makes no progress sends the next probe
// to `hi`.
template <typename NameAt>
std::int64_t BisectToLineIndex(std::int64_t lo, std::int64_t hi, std::string_view name,
                               NameAt&& nameAt) {
  auto mid = [](std::int64_t a, std::int64_t b) { return (a + b) / 2; };
  if (lo > hi) return -1;
  std::int64_t lastLo = -1;
  std::int64_t probe = mid(lo, hi);
  for (;;) {
    const int order = name.compare(nameAt(probe));
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
