// Taking inventory records apart: Kind","FullPath","RelPath","Depth","TimeStamp","ActionFlag
#pragma once

#include <cstdint>
#include <string_view>

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

// The Depth field of a split record; raises ConvertError when it is not a
// decimal number.
std::int64_t DepthOf(const TStrArrayClass& record);

inline bool IsDirectoryRecord(const TStrArrayClass& record) {
  return record.GetItem(kKindField) == "Directory";
}
inline bool IsFileRecord(const TStrArrayClass& record) {
  return record.GetItem(kKindField) == "File";
}
inline bool IsPending(const TStrArrayClass& record) {
  return record.GetItem(kActionFlagField) == "1";
}

// Ordinal order: byte by byte as unsigned numbers, a prefix first.
inline int CompareOrdinal(std::string_view a, std::string_view b) {
  return a.compare(b);
}

}  // namespace fts
