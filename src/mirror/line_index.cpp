#include "mirror/line_index.h"

#include <utility>

namespace fts {

void SetUpRecordSplitter(TStrArrayClass& splitter) {
  splitter.SetDelimiter(kFieldDelimiter);
  splitter.SetQuote("");
}

std::string_view RelPathAt(InventoryTextFile& file, TStrArrayClass& splitter, std::string& line,
                           std::int64_t offset) {
  file.Seek(offset);
  file.ReadLine(line);
  splitter.Split(line);
  return splitter.GetItem(kRelPathField);
}

void BuildToLineIndex(RunContext& run) {
  std::vector<std::int64_t>& index = run.state.toLineIndex;
  InventoryTextFile file(run.platform, run.state.destination.fileName);
  std::string line;

  file.Open();
  while (!file.Eof()) {
    index.push_back(file.Pos());
    file.ReadLine(line);
  }
  file.Close();

  file.Open();
  TStrArrayClass sharedSplitter;
  SetUpRecordSplitter(sharedSplitter);
  if (!index.empty()) {
    SortToLineIndex(index, 0, static_cast<std::int64_t>(index.size()) - 1, file, sharedSplitter);
  }
  file.Close();
}

void SortToLineIndex(std::vector<std::int64_t>& index, std::int64_t first, std::int64_t last,
                     InventoryTextFile& file, TStrArrayClass& sharedSplitter) {
  std::string line;
  std::string pivot;
  auto relPathAt = [&](std::int64_t entry) {
    return RelPathAt(file, sharedSplitter, line, index[static_cast<std::size_t>(entry)]);
  };

  while (first < last) {
    std::int64_t lo = first;
    std::int64_t hi = last;
    pivot = relPathAt((first + last) / 2);
    while (lo <= hi) {
      while (CompareOrdinal(relPathAt(lo), pivot) < 0) ++lo;
      while (CompareOrdinal(relPathAt(hi), pivot) > 0) --hi;
      if (lo <= hi) {
        std::swap(index[static_cast<std::size_t>(lo)], index[static_cast<std::size_t>(hi)]);
        ++lo;
        --hi;
      }
    }
    // The parts are first..hi and lo..last: sort the smaller one by
    // recursion and carry on with the larger one here.
    if (hi - first < last - lo) {
      if (hi > first) SortToLineIndex(index, first, hi, file, sharedSplitter);
      first = lo;
    } else {
      if (lo < last) SortToLineIndex(index, lo, last, file, sharedSplitter);
      last = hi;
    }
  }
}

}  // namespace fts
