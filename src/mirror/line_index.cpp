#include "mirror/line_index.h"

#include <algorithm>

#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"
#include "platform/status.h"

namespace fts {

std::int64_t ToLineIndex::EndOf(std::int64_t line) const {
  const auto found = std::lower_bound(
      folders_.begin(), folders_.end(), line,
      [](const Folder& folder, std::int64_t offset) { return folder.line < offset; });
  return found == folders_.end() || found->line != line ? -1 : found->end;
}

ToLineIndex BuildToLineIndex(Platform& platform, const std::string& destinationInventory) {
  InventoryReader file(platform, destinationInventory);
  TStrArrayClass splitter;
  SetUpRecordSplitter(splitter);
  std::vector<ToLineIndex::Folder> folders;
  std::vector<std::size_t> open;  // the folders above the next line
  std::int64_t entries = 0;
  std::int64_t offset = file.Pos();
  std::string_view line;
  for (; file.ReadLine(line); offset = file.Pos()) {
    splitter.Split(line);
    const std::int64_t depth = DepthOf(splitter);
    while (static_cast<std::int64_t>(open.size()) > depth) {
      folders[open.back()].end = offset;
      open.pop_back();
    }
    // Depth first, every record stands right below the folders still open.
    if (depth != static_cast<std::int64_t>(open.size())) {
      ThrowRunError(
          Status::Error("index", destinationInventory, "it does not list a tree depth first"));
    }
    if (IsDirectoryRecord(splitter)) {
      open.push_back(folders.size());
      folders.push_back({offset, -1});
    }
    ++entries;
  }
  for (std::size_t folder : open)
    folders[folder].end = offset;
  file.Close();
  return ToLineIndex(std::move(folders), entries, offset);
}

}  // namespace fts
