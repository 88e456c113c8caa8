#include "mirror/difference_marking.h"

#include <algorithm>
#include <string>
#include <vector>

#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"
#include "platform/status.h"

namespace fts {
namespace {

constexpr std::size_t kPatchChunk = 256 << 10;

// Writes "0" over the ActionFlag of each given line. The flags are patched a
// chunk of the file at a time: read, changed, written back.
class FlagPatcher {
 public:
  FlagPatcher(Platform& platform, std::string fileName)
      : fileName_(std::move(fileName)),
        reader_(Open(platform, OpenMode::kRead)),
        writer_(Open(platform, OpenMode::kWriteExisting)) {
    chunk_.resize(kPatchChunk);
  }

  // Marks the line that ends just before `nextLine`.
  void Mark(std::int64_t nextLine) {
    const std::int64_t flag = ActionFlagOffset(nextLine);
    if (flag < chunkStart_ || flag >= chunkStart_ + static_cast<std::int64_t>(chunkSize_)) {
      Flush();
      chunkStart_ = flag;
      auto read = reader_->ReadAt(chunkStart_, chunk_.data(), chunk_.size());
      Check(read.status());
      chunkSize_ = *read;
      if (chunkSize_ == 0) Check(Status::Error("mark", fileName_, "past its end"));
    }
    char& byte = chunk_[static_cast<std::size_t>(flag - chunkStart_)];
    if (byte == '1') ++marked_;
    byte = '0';
    dirty_ = true;
  }

  // The flags turned from "1" to "0" so far.
  std::int64_t Marked() const { return marked_; }

  void Close() {
    Flush();
    Check(reader_->Close());
    Check(writer_->Close());
  }

 private:
  std::unique_ptr<File> Open(Platform& platform, OpenMode mode) {
    auto opened = platform.OpenFile(fileName_, mode);
    Check(opened.status());
    return std::move(*opened);
  }

  void Flush() {
    if (dirty_) Check(writer_->WriteAt(chunkStart_, chunk_.data(), chunkSize_));
    dirty_ = false;
  }

  static void Check(const Status& status) {
    if (!status) ThrowRunError(status);
  }

  std::string fileName_;
  std::unique_ptr<File> reader_;
  std::unique_ptr<File> writer_;
  std::vector<char> chunk_;
  std::int64_t chunkStart_ = 0;
  std::size_t chunkSize_ = 0;
  bool dirty_ = false;
  std::int64_t marked_ = 0;
};

// A matched destination entry is kept in ToLineIndex as the complement of
// its offset until the marks are written.
bool IsMatched(std::int64_t entry) {
  return entry < 0;
}
std::int64_t OffsetOf(std::int64_t entry) {
  return entry < 0 ? ~entry : entry;
}

class PairFinder {
 public:
  PairFinder(Platform& platform, const InventoryFiles& inventories,
             std::vector<std::int64_t>& index)
      : index_(index),
        source_(platform, inventories.source.name),
        destination_(platform, inventories.destination.name, InventoryReader::Access::kScattered) {
    SetUpRecordSplitter(sourceSplitter_);
    SetUpRecordSplitter(sharedSplitter_);
  }

  // One pass over the source inventory. Each record is looked for only
  // among the destination entries below its folder's counterpart: the
  // entries below a folder form one run of the sorted index. Counts the
  // identical pairs and the files that the source holds newer or older.
  void Run(FlagPatcher& sourceMarks, MarkingResult& result) {
    struct Range {
      std::int64_t depth;
      std::int64_t lo;
      std::int64_t hi;
    };
    std::vector<Range> open;
    const std::int64_t last = static_cast<std::int64_t>(index_.size()) - 1;

    std::string_view line;
    while (source_.ReadLine(line)) {
      sourceSplitter_.Split(line);
      const std::int64_t depth = DepthOf(sourceSplitter_);
      while (!open.empty() && open.back().depth >= depth)
        open.pop_back();
      const std::int64_t lo = open.empty() ? 0 : open.back().lo;
      const std::int64_t hi = open.empty() ? last : open.back().hi;

      const std::string_view relPath =
          RecordPathView(sourceSplitter_.GetItem(kRelPathField), sourceScratch_);
      const std::int64_t found =
          BisectToLineIndex(lo, hi, relPath, [&](std::int64_t entry) { return RelPathAt(entry); });
      if (found >= 0) {
        RelPathAt(found);
        if (sourceSplitter_.GetItem(kTimeStampField) == sharedSplitter_.GetItem(kTimeStampField)) {
          sourceMarks.Mark(source_.Pos());
          Entry(found) = ~OffsetOf(Entry(found));
          ++result.identicalPairs;
        } else if (IsFileRecord(sourceSplitter_) && IsFileRecord(sharedSplitter_)) {
          ++result.updatedFiles;
        }
      }
      if (IsDirectoryRecord(sourceSplitter_)) {
        Range below{depth, 0, -1};
        if (found >= 0) {
          const std::string folder(relPath);
          below.lo = LowerBound(found + 1, hi, folder + kPathSeparator);
          below.hi = LowerBound(below.lo, hi, folder + static_cast<char>(kPathSeparator + 1)) - 1;
        }
        open.push_back(below);
      }
    }
    source_.Close();
    destination_.Close();
  }

 private:
  std::int64_t& Entry(std::int64_t entry) { return index_[static_cast<std::size_t>(entry)]; }

  std::string_view RelPathAt(std::int64_t entry) {
    std::int64_t next;
    sharedSplitter_.Split(destination_.LineAt(OffsetOf(Entry(entry)), next));
    return RecordPathView(sharedSplitter_.GetItem(kRelPathField), destinationScratch_);
  }

  // The first entry in lo..hi whose RelPath is not below `key`; hi + 1
  // when there is none.
  std::int64_t LowerBound(std::int64_t lo, std::int64_t hi, const std::string& key) {
    std::int64_t end = hi + 1;
    while (lo < end) {
      const std::int64_t mid = lo + (end - lo) / 2;
      if (CompareOrdinal(RelPathAt(mid), key) < 0) {
        lo = mid + 1;
      } else {
        end = mid;
      }
    }
    return lo;
  }

  std::vector<std::int64_t>& index_;
  InventoryReader source_;
  InventoryReader destination_;
  TStrArrayClass sourceSplitter_;
  TStrArrayClass sharedSplitter_;
  std::string sourceScratch_;
  std::string destinationScratch_;
};

bool AtOrBelow(std::string_view relPath, std::string_view folder) {
  if (folder.empty()) return true;
  return relPath.starts_with(folder) &&
         (relPath.size() == folder.size() || relPath[folder.size()] == kPathSeparator);
}

// Marks the destination records that stay whatever the source holds.
void MarkKeptEntries(Platform& platform, const std::string& destinationInventory,
                     const KeptEntries& kept, FlagPatcher& destinationMarks) {
  const auto& unlisted = kept.unlistedSourceFolders;
  const auto& holding = kept.foldersHoldingExcluded;
  if (unlisted.empty() && holding.empty()) return;
  TStrArrayClass sharedSplitter;
  SetUpRecordSplitter(sharedSplitter);
  InventoryReader destination(platform, destinationInventory);
  std::string scratch;
  std::string_view line;
  while (destination.ReadLine(line)) {
    sharedSplitter.Split(line);
    const std::string_view relPath = RecordPathView(sharedSplitter.GetItem(kRelPathField), scratch);
    const bool keep =
        std::any_of(unlisted.begin(), unlisted.end(),
                    [&](const std::string& folder) { return AtOrBelow(relPath, folder); }) ||
        (IsDirectoryRecord(sharedSplitter) && holding.count(std::string(relPath)) != 0);
    if (keep) destinationMarks.Mark(destination.Pos());
  }
  destination.Close();
}

}  // namespace

MarkingResult MarkIdenticalRecords(Platform& platform, const InventoryFiles& inventories,
                                   std::vector<std::int64_t> index, const KeptEntries& kept) {
  MarkingResult result;
  result.destinationEntries = static_cast<std::int64_t>(index.size());
  FlagPatcher sourceMarks(platform, inventories.source.name);
  PairFinder(platform, inventories, index).Run(sourceMarks, result);
  sourceMarks.Close();

  // The matched destination lines, in file order, so that the marks are
  // written front to back.
  const auto matchedEnd = std::partition(index.begin(), index.end(), IsMatched);
  std::for_each(index.begin(), matchedEnd, [](std::int64_t& entry) { entry = ~entry; });
  std::sort(index.begin(), matchedEnd);

  FlagPatcher destinationMarks(platform, inventories.destination.name);
  InventoryReader lines(platform, inventories.destination.name,
                        InventoryReader::Access::kScattered);
  for (auto it = index.begin(); it != matchedEnd; ++it) {
    std::int64_t nextLine;
    lines.LineAt(*it, nextLine);
    destinationMarks.Mark(nextLine);
  }
  lines.Close();
  MarkKeptEntries(platform, inventories.destination.name, kept, destinationMarks);
  destinationMarks.Close();
  result.destinationPending = result.destinationEntries - destinationMarks.Marked();
  return result;
}

}  // namespace fts
