// What a pass of the continuous mode lists: not the whole tree but the
// folders where something changed. A changed folder is listed with its own
// entries; a folder made, moved or deleted, with everything below it. The
// folders on the way down to them are walked too, but of their entries
// only those on the way are listed, so both inventories still read as a
// walk of one tree from the root and the comparison and the actions work
// on them unchanged. Both sides are listed with the same scope: what lies
// outside it is in neither inventory and nothing is done to it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace fts {

class PassScope {
 public:
  // A folder whose own entries changed (RelPath; "" for the root).
  void AddFolder(std::string_view relPath);
  // A folder made, moved in, renamed or deleted: it and everything below it.
  void AddSubtree(std::string_view relPath);
  void Clear();
  bool Empty() const { return folders_.empty() && subtrees_.empty(); }
  // True when the scope is the whole tree (the root's subtree).
  bool Whole() const { return subtrees_.count("") != 0; }

  // How the walk treats the entry `relPath` of the folder `folder`.
  struct Verdict {
    bool listed;
    bool entered;  // for a folder
  };
  Verdict Judge(std::string_view folder, std::string_view relPath) const;

  // The folders and subtrees, for merging and for the log.
  const std::unordered_set<std::string>& Folders() const { return folders_; }
  const std::unordered_set<std::string>& Subtrees() const { return subtrees_; }
  void Merge(const PassScope& other);

 private:
  bool InSubtree(std::string_view relPath) const;

  std::unordered_set<std::string> folders_;
  std::unordered_set<std::string> subtrees_;
  // Every folder on the way to a listed folder or subtree, those included.
  std::unordered_set<std::string> waypoints_;
};

}  // namespace fts
