// Finds the source entries of one folder whose names differ only in letter
// case. A destination folder that ignores letter case can hold only one of
// them: the first in inventory order is mirrored, and the others are
// refused, the same way every run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fts {

struct CaseClash {
  std::string folder;  // the RelPath of the folder that holds both ("" for the root)
  std::string winner;  // the RelPath of the first of them in inventory order
  std::string loser;   // the RelPath of a later one
};

// Told the entries of a depth-first walk as it lists them; each folder's
// entries are looked at once the walk has left the folder.
class CaseClashFinder {
 public:
  // `fold` gives a name the form in which names that a folder ignoring
  // letter case takes as one are equal; names of ASCII letters only are
  // folded here, as `fold` would, to upper case.
  explicit CaseClashFinder(std::function<std::string(std::string_view)> fold);

  // An entry at `level` (the root's entries are at 0), with its RelPath as
  // the destination names it.
  void Add(std::int32_t level, std::string_view relPath);
  // The walk of one root has ended.
  void EndWalk();
  // The clashes found so far, and none after.
  std::vector<CaseClash> Take();

 private:
  struct Entry {
    std::uint64_t key;  // a hash of the folded name
    std::uint32_t at;   // where the name starts in the folder's names
    std::uint32_t length;
  };
  struct Folder {
    std::string path;  // its RelPath
    std::vector<Entry> entries;
    std::string names;
  };

  std::string Folded(std::string_view name) const;
  void CloseDeeperThan(std::size_t open);
  void Close(Folder& folder);
  void Report(const Folder& folder, std::size_t entry);

  std::function<std::string(std::string_view)> fold_;
  std::vector<Folder> folders_;  // per level; the first `open_` are open
  std::size_t open_ = 0;
  std::vector<std::uint32_t> slots_;  // an entry's number + 1, 0 when free
  std::vector<CaseClash> clashes_;
};

}  // namespace fts
