#include "mirror/line_index.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"
#include "platform/status.h"

namespace fts {
namespace {

constexpr std::int64_t kRootFolder = -1;
constexpr std::int64_t kNotAFolder = -1;
constexpr std::int64_t kNoGroup = -2;
constexpr std::int64_t kUnplaced = -1;

struct Folder {
  std::int64_t subtreeSize = 0;  // lines below the folder
  std::int64_t blockStart = 0;   // where they begin in the sorted index
};

struct OpenFolder {
  std::int64_t depth;
  std::int64_t ordinal;      // the folder's number in file order
  std::int64_t firstRecord;  // the number of the line after the folder's own
};

// One entry of a folder: a line, sorted by its name, or the block of all
// lines below a subfolder, sorted by the subfolder's name and a separator.
struct SortItem {
  std::size_t nameStart;
  std::size_t nameLength;
  bool isBlock;
  std::int64_t offset;  // the line's offset (lines only)
  std::int64_t folder;  // the folder's ordinal (folders and blocks)
};

class ItemOrder {
 public:
  explicit ItemOrder(const std::string& names) : names_(names) {}

  bool operator()(const SortItem& a, const SortItem& b) const {
    const std::size_t common = std::min(a.nameLength, b.nameLength);
    const int order = std::memcmp(names_.data() + a.nameStart, names_.data() + b.nameStart, common);
    if (order != 0) return order < 0;
    return NextByte(a, common) < NextByte(b, common);
  }

 private:
  // The byte of the item's key at `position`, -1 past its end.
  int NextByte(const SortItem& item, std::size_t position) const {
    if (position < item.nameLength) {
      return static_cast<unsigned char>(names_[item.nameStart + position]);
    }
    if (position == item.nameLength && item.isBlock) return kPathSeparator;
    return -1;
  }

  const std::string& names_;
};

class IndexBuilder {
 public:
  IndexBuilder(Platform& platform, const std::string& fileName) : file_(platform, fileName) {
    SetUpRecordSplitter(splitter_);
  }

  std::vector<std::int64_t> Build() {
    CountFolders();
    index_.assign(static_cast<std::size_t>(records_), kUnplaced);
    for (std::int64_t level = 0; level <= deepest_; ++level)
      PlaceLevel(level);
    file_.Close();
    if (std::find(index_.begin(), index_.end(), kUnplaced) != index_.end()) NotDepthFirst();
    return std::move(index_);
  }

 private:
  [[noreturn]] void NotDepthFirst() {
    ThrowRunError(Status::Error("index", file_.FileName(), "it does not list a tree depth first"));
  }

  // Reads the next record; false at the end of the file.
  bool ReadRecord(std::int64_t& depth) {
    std::string_view line;
    if (!file_.ReadLine(line)) return false;
    splitter_.Split(line);
    depth = DepthOf(splitter_);
    return true;
  }

  // The first sweep: how many lines lie below each folder.
  void CountFolders() {
    std::vector<OpenFolder> open;
    auto closeFolders = [&](std::int64_t depth) {
      while (!open.empty() && open.back().depth >= depth) {
        folders_[static_cast<std::size_t>(open.back().ordinal)].subtreeSize =
            records_ - open.back().firstRecord;
        open.pop_back();
      }
    };
    std::int64_t depth;
    while (ReadRecord(depth)) {
      closeFolders(depth);
      if (IsDirectoryRecord(splitter_)) {
        open.push_back({depth, static_cast<std::int64_t>(folders_.size()), records_ + 1});
        folders_.emplace_back();
      }
      deepest_ = std::max(deepest_, depth);
      ++records_;
    }
    closeFolders(0);
  }

  // One sweep: sorts the entries of every folder at `level` - 1 (the root
  // for level 0) and places them, and the blocks below them, in the index.
  void PlaceLevel(std::int64_t level) {
    file_.Seek(0);
    std::vector<OpenFolder> open;
    std::int64_t ordinal = 0;
    std::int64_t group = kNoGroup;
    std::int64_t offset = file_.Pos();
    std::int64_t depth;
    for (; ReadRecord(depth); offset = file_.Pos()) {
      while (!open.empty() && open.back().depth >= depth)
        open.pop_back();
      const bool isFolder = IsDirectoryRecord(splitter_);
      if (depth == level) {
        const std::int64_t parent = open.empty() ? kRootFolder : open.back().ordinal;
        if (parent != group) {
          PlaceGroup(group);
          group = parent;
        }
        AddItems(offset, isFolder ? ordinal : kNotAFolder);
      }
      if (isFolder) open.push_back({depth, ordinal++, 0});
    }
    PlaceGroup(group);
  }

  void AddItems(std::int64_t offset, std::int64_t folder) {
    const std::string_view relPath = RecordPathView(splitter_.GetItem(kRelPathField), scratch_);
    const std::string_view name = relPath.substr(relPath.rfind(kPathSeparator) + 1);
    const std::size_t start = names_.size();
    names_ += name;
    items_.push_back({start, name.size(), false, offset, folder});
    if (folder != kNotAFolder && FolderAt(folder).subtreeSize > 0) {
      items_.push_back({start, name.size(), true, kUnplaced, folder});
    }
  }

  void PlaceGroup(std::int64_t parent) {
    if (items_.empty()) return;
    std::sort(items_.begin(), items_.end(), ItemOrder(names_));
    std::int64_t position = parent == kRootFolder ? 0 : FolderAt(parent).blockStart;
    for (const SortItem& item : items_) {
      if (item.isBlock) {
        Folder& folder = FolderAt(item.folder);
        folder.blockStart = position;
        position += folder.subtreeSize;
      } else {
        if (position < 0 || position >= records_ ||
            index_[static_cast<std::size_t>(position)] != kUnplaced) {
          NotDepthFirst();
        }
        index_[static_cast<std::size_t>(position++)] = item.offset;
      }
    }
    items_.clear();
    names_.clear();
  }

  Folder& FolderAt(std::int64_t ordinal) { return folders_[static_cast<std::size_t>(ordinal)]; }

  std::vector<std::int64_t> index_;
  InventoryReader file_;
  TStrArrayClass splitter_;
  std::string scratch_;
  std::vector<Folder> folders_;
  std::int64_t records_ = 0;
  std::int64_t deepest_ = -1;
  std::vector<SortItem> items_;
  std::string names_;
};

}  // namespace

std::vector<std::int64_t> BuildToLineIndex(Platform& platform,
                                           const std::string& destinationInventory) {
  return IndexBuilder(platform, destinationInventory).Build();
}

}  // namespace fts
