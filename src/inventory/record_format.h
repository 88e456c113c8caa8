// The inventory record: one line per listed entry,
//
//   Kind","FullPath","RelPath","Depth","TimeStamp","ActionFlag CR LF
//
// Kind is "File" or "Directory"; Depth counts the separators in RelPath;
// TimeStamp is empty for a folder; ActionFlag is written "1" and overwritten
// in place with "0" once the entry has an identical counterpart. This is
// the one place that knows how records are written and taken apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/UnitStrArray.h"

namespace fts {

// The record fields are joined by quote, comma, quote.
inline constexpr std::string_view kFieldDelimiter = "\",\"";
inline constexpr std::string_view kRecordEnd = "\r\n";

// The field numbers for TStrArrayClass::GetItem.
inline constexpr std::int32_t kKindField = 0;
inline constexpr std::int32_t kFullPathField = 1;
inline constexpr std::int32_t kRelPathField = 2;
inline constexpr std::int32_t kDepthField = 3;
inline constexpr std::int32_t kTimeStampField = 4;
inline constexpr std::int32_t kActionFlagField = 5;

// --- Paths in records ------------------------------------------------------
// A path that holds a line break or the delimiter, or ends in a way that
// runs into the next delimiter, would split into the wrong fields. Such
// paths are written escaped; every other path stands as it is.

// Marks an escaped field. A real path that begins with it is escaped too, so
// a field that begins with it is always an escaped one.
inline constexpr std::string_view kEscapeMarker = "%%";

bool PathNeedsEscape(std::string_view path);

// The field text for `path`: the path itself, or the marker followed by the
// path with its control bytes, '%', '"' and ',' written as %XX.
std::string EscapeRecordPath(std::string_view path);
void AppendEscapedRecordPath(std::string& out, std::string_view path);

// The path that a field stands for.
std::string UnescapeRecordPath(std::string_view field);

// The path a field stands for, as a view of the field itself when it is not
// escaped (the usual case) and of `scratch` otherwise.
std::string_view RecordPathView(std::string_view field, std::string& scratch);

// --- Writing ----------------------------------------------------------------

// Appends the record of one listed entry, without its line end, with the
// ActionFlag "1". `root` is the walk root that `fullPath` begins with.
void FormatInventoryRecord(std::string& out, std::string_view fullPath, bool isFile,
                           std::string_view root, std::string_view timeStamp);

// The offset of the ActionFlag byte of the line that ends just before
// `nextLine` (the flag is the byte before the line end).
inline std::int64_t ActionFlagOffset(std::int64_t nextLine) {
  return nextLine - static_cast<std::int64_t>(kRecordEnd.size()) - 1;
}

// --- Reading ----------------------------------------------------------------

// A splitter set up for inventory records.
void SetUpRecordSplitter(TStrArrayClass& splitter);

// The Depth field of a split record; ends the run with a convert error when
// it is not a decimal number.
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

// True when a line, not yet taken apart, holds a pending record: it ends in
// the delimiter and "1". Passes that act on pending records alone skip the
// others without splitting them.
inline bool LineIsPending(std::string_view line) {
  return line.size() > kFieldDelimiter.size() && line.ends_with('1') &&
         line.substr(0, line.size() - 1).ends_with(kFieldDelimiter);
}

// Ordinal order of RelPaths: byte by byte as unsigned numbers, a prefix
// first.
inline int CompareOrdinal(std::string_view a, std::string_view b) {
  return a.compare(b);
}

}  // namespace fts
