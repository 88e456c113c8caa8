// The destination inventory made searchable by RelPath without loading it:
// the byte offset of every line, ordered by the RelPath of the line.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mirror/record.h"
#include "run/run_context.h"

namespace fts {

// Fills the run's ToLineIndex with the offset of every destination line,
// in the ordinal order of the RelPaths (as paths, escapes undone).
//
// The inventory lists a tree depth first, so everything below a folder is
// one run of lines, and in sorted order everything below a folder is one
// run too, ordered as if the folder's name ended in the separator. So the
// whole order follows from sorting each folder's direct entries by name:
// one sweep of the file per level places every line, and memory holds only
// the index, two numbers per folder and the names of one folder at a time.
void BuildToLineIndex(RunContext& run);

// Sorts items[first..last]: a quicksort that partitions Hoare's way around
// the middle item and recurses into the smaller part only, so that its
// depth stays below log2(n) whatever the order of the items.
template <typename T, typename Less>
void SortToLineIndex(std::vector<T>& items, std::int64_t first, std::int64_t last,
                     const Less& less) {
  auto at = [&](std::int64_t i) -> T& { return items[static_cast<std::size_t>(i)]; };
  while (first < last) {
    std::int64_t lo = first;
    std::int64_t hi = last;
    const T pivot = at((first + last) / 2);
    while (lo <= hi) {
      while (less(at(lo), pivot))
        ++lo;
      while (less(pivot, at(hi)))
        --hi;
      if (lo <= hi) {
        std::swap(at(lo), at(hi));
        ++lo;
        --hi;
      }
    }
    if (hi - first < last - lo) {
      if (hi > first) SortToLineIndex(items, first, hi, less);
      first = lo;
    } else {
      if (lo < last) SortToLineIndex(items, lo, last, less);
      last = hi;
    }
  }
}

}  // namespace fts
