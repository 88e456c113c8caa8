// The inventory record: one line per listed entry,
//
//   Kind","FullPath","RelPath","Depth","TimeStamp","ActionFlag CR LF
//
// or, in a run whose comparison weighs more than the time (see
// entry_facts.h), with a Facts field before the ActionFlag:
//
//   Kind","FullPath","RelPath","Depth","TimeStamp","Facts","ActionFlag CR LF
//
// Kind is "File" or "Directory"; Depth counts the separators in RelPath;
// TimeStamp is empty for a folder; ActionFlag is written "1" and overwritten
// in place with "0" once the entry has an identical counterpart, or, on a
// source record, with "2" when the pair differs only in what can be mended
// in place. This is
// the one place that knows how records are written and taken apart.
#pragma once

#include <cstdint>
#include <optional>
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
inline constexpr std::int32_t kActionFlagField = 5;  // without a Facts field
inline constexpr std::int32_t kFactsField = 5;       // with one

// The ActionFlag's values.
inline constexpr char kActionPending = '1';
inline constexpr char kActionNone = '0';
inline constexpr char kActionMend = '2';

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
                           std::string_view root, std::string_view timeStamp,
                           std::optional<std::string_view> facts = std::nullopt);
// The same with the RelPath given: the destination's name for the entry
// where it is not the source's (see portable_names.h).
void FormatInventoryRecordNamed(std::string& out, std::string_view fullPath,
                                std::string_view relPath, bool isFile, std::string_view timeStamp,
                                std::optional<std::string_view> facts = std::nullopt);

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
inline std::string_view ActionFlagOf(const TStrArrayClass& record) {
  return record.GetItem(record.Count() - 1);
}
inline bool IsPending(const TStrArrayClass& record) {
  return ActionFlagOf(record) == std::string_view(&kActionPending, 1);
}
inline bool IsMend(const TStrArrayClass& record) {
  return ActionFlagOf(record) == std::string_view(&kActionMend, 1);
}
// The Facts field, empty in a record without one.
inline std::string_view FactsOf(const TStrArrayClass& record) {
  return record.Count() > kActionFlagField + 1 ? record.GetItem(kFactsField) : std::string_view();
}

// True when a line, not yet taken apart, holds a pending record: it ends in
// the delimiter and "1". Passes that act on pending records alone skip the
// others without splitting them.
inline bool LineHasFlag(std::string_view line, char flag) {
  return line.size() > kFieldDelimiter.size() && line.ends_with(flag) &&
         line.substr(0, line.size() - 1).ends_with(kFieldDelimiter);
}
inline bool LineIsPending(std::string_view line) {
  return LineHasFlag(line, kActionPending);
}
// Pending, or to be mended in place: a line the actions look at.
inline bool LineNeedsAction(std::string_view line) {
  return LineHasFlag(line, kActionPending) || LineHasFlag(line, kActionMend);
}

// Ordinal order of RelPaths: byte by byte as unsigned numbers, a prefix
// first.
inline int CompareOrdinal(std::string_view a, std::string_view b) {
  return a.compare(b);
}

}  // namespace fts
