// What the comparison knows of the destination inventory before it starts:
// for every folder, where its line is and where the lines below it end. The
// inventory lists a tree depth first, so everything below a folder is one
// run of lines; the entries of a folder are read from the inventory when
// the folder is compared. Memory grows with the folders, not the entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

class ToLineIndex {
 public:
  struct Folder {
    std::int64_t line;  // the folder's own line
    std::int64_t end;   // where the lines below it end
  };

  ToLineIndex(std::vector<Folder> folders, std::int64_t entries, std::int64_t size)
      : folders_(std::move(folders)), entries_(entries), size_(size) {}

  // Where the lines below the folder whose line is at `line` end; -1 when
  // no folder's line is there.
  std::int64_t EndOf(std::int64_t line) const;
  std::int64_t Entries() const { return entries_; }  // the inventory's records
  std::int64_t Size() const { return size_; }        // its length in bytes
  std::size_t Folders() const { return folders_.size(); }

 private:
  std::vector<Folder> folders_;  // in file order
  std::int64_t entries_;
  std::int64_t size_;
};

// One pass over the destination inventory; a record out of depth-first
// order ends the run.
ToLineIndex BuildToLineIndex(Platform& platform, const std::string& destinationInventory);

}  // namespace fts
