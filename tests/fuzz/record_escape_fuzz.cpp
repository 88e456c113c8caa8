// Paths in inventory records: escaping and unescaping, and a whole record of
// an entry under a fixed walk root split back into its fields.
//
// Input: one selector byte for the entry ('0' a folder, '1' a file with a
// time, '2' a link, '3' a file whose time could not be read), then the path
// below the root, any bytes.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "inventory/record_format.h"
#include "platform/platform.h"
#include "text/UnitStrArray.h"

namespace {

using fts::fuzz::AsText;

constexpr std::string_view kRoot = "/fuzz/root/";

// What an escaped field must never hold: the splitter would cut the record
// there, or a line reader would end the line there.
void CheckFieldCannotSplit(std::string_view field) {
  FUZZ_CHECK(field.find(fts::kFieldDelimiter) == std::string_view::npos);
  FUZZ_CHECK(field.find_first_of("\r\n") == std::string_view::npos);
  FUZZ_CHECK(!field.ends_with("\","));
}

void CheckEscape(std::string_view path) {
  const std::string field = fts::EscapeRecordPath(path);
  FUZZ_CHECK(fts::UnescapeRecordPath(field) == path);
  std::string scratch;
  FUZZ_CHECK(fts::RecordPathView(field, scratch) == path);
  CheckFieldCannotSplit(field);

  // A path stands as it is unless it must be escaped; an escaped field and
  // no other begins with the marker.
  if (fts::PathNeedsEscape(path)) {
    FUZZ_CHECK(field.starts_with(fts::kEscapeMarker));
  } else {
    FUZZ_CHECK(field == path);
    FUZZ_CHECK(!field.starts_with(fts::kEscapeMarker));
  }
  // Escaping appends to what is there.
  std::string appended = "prefix";
  fts::AppendEscapedRecordPath(appended, path);
  FUZZ_CHECK(appended == "prefix" + field);

  // Any text read as a field: the view and the copy agree.
  std::string scratch2 = "left over";
  FUZZ_CHECK(fts::RecordPathView(path, scratch2) == fts::UnescapeRecordPath(path));
}

void CheckRecord(unsigned entry, std::string_view relPath) {
  static constexpr std::array<std::string_view, 4> kTimeStamps = {
      "", "2024/05/01 9:03:06", "(symbolic link)", "(time unreadable: source)"};
  const bool isFile = entry != 0;
  const std::string_view timeStamp = kTimeStamps[entry];
  const std::string fullPath = std::string(kRoot) + std::string(relPath);

  std::string record = "left";
  fts::FormatInventoryRecord(record, fullPath, isFile, kRoot, timeStamp);
  FUZZ_CHECK(record.starts_with("left"));
  record.erase(0, 4);
  FUZZ_CHECK(record.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(fts::LineIsPending(record));
  FUZZ_CHECK(record[static_cast<std::size_t>(fts::ActionFlagOffset(
                 static_cast<std::int64_t>(record.size() + fts::kRecordEnd.size())))] == '1');

  fts::TStrArrayClass splitter;
  fts::SetUpRecordSplitter(splitter);
  splitter.Split(record);
  FUZZ_CHECK(splitter.Count() == 6);
  FUZZ_CHECK(splitter.GetItem(fts::kKindField) == (isFile ? "File" : "Directory"));
  FUZZ_CHECK(fts::IsFileRecord(splitter) == isFile);
  FUZZ_CHECK(fts::IsDirectoryRecord(splitter) == !isFile);
  FUZZ_CHECK(fts::UnescapeRecordPath(splitter.GetItem(fts::kFullPathField)) == fullPath);
  FUZZ_CHECK(fts::UnescapeRecordPath(splitter.GetItem(fts::kRelPathField)) == relPath);
  std::string scratch;
  FUZZ_CHECK(fts::RecordPathView(splitter.GetItem(fts::kRelPathField), scratch) == relPath);
  const auto depth = std::count(relPath.begin(), relPath.end(), fts::kPathSeparator);
  FUZZ_CHECK(splitter.GetItem(fts::kDepthField) == std::to_string(depth));
  FUZZ_CHECK(fts::DepthOf(splitter) == depth);
  FUZZ_CHECK(splitter.GetItem(fts::kTimeStampField) == timeStamp);
  FUZZ_CHECK(splitter.GetItem(fts::kActionFlagField) == "1");
  FUZZ_CHECK(fts::IsPending(splitter));

  // Marked as matched in place, the record is no longer pending.
  record.back() = '0';
  FUZZ_CHECK(!fts::LineIsPending(record));
  splitter.Split(record);
  FUZZ_CHECK(splitter.Count() == 6);
  FUZZ_CHECK(!fts::IsPending(splitter));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = AsText(data, size);
  const unsigned entry = fts::fuzz::TakeSelector(input, 4);
  CheckEscape(input);
  CheckRecord(entry, input);
  return 0;
}
