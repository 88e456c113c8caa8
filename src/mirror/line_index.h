// The destination inventory made searchable by RelPath without loading it:
// the byte offset of every line, ordered by the RelPath of the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mirror/text_file.h"
#include "run/run_context.h"
#include "text/UnitStrArray.h"

namespace fts {

inline constexpr std::int32_t kKindField = 0;
inline constexpr std::int32_t kFullPathField = 1;
inline constexpr std::int32_t kRelPathField = 2;
inline constexpr std::int32_t kDepthField = 3;
inline constexpr std::int32_t kTimeStampField = 4;
inline constexpr std::int32_t kActionFlagField = 5;

// A splitter set up for inventory records.
void SetUpRecordSplitter(TStrArrayClass& splitter);

// Ordinal order: byte by byte as unsigned numbers, a prefix first.
inline int CompareOrdinal(std::string_view a, std::string_view b) { return a.compare(b); }

// Reads the line at `offset` and returns its RelPath field (valid until the
// splitter's next split).
std::string_view RelPathAt(InventoryTextFile& file, TStrArrayClass& splitter, std::string& line,
                           std::int64_t offset);

// Fills the run's ToLineIndex with the offset of every destination line and
// sorts it by RelPath.
void BuildToLineIndex(RunContext& run);

// Quicksort with Hoare partitioning around the RelPath of the middle entry,
// over entries first to last of `index`. It recurses into the smaller part
// only, so its depth stays below log2(n) whatever the order of names.
void SortToLineIndex(std::vector<std::int64_t>& index, std::int64_t first, std::int64_t last,
                     InventoryTextFile& file, TStrArrayClass& sharedSplitter);

}  // namespace fts
