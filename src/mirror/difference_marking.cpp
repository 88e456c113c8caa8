#include "mirror/difference_marking.h"

#include <algorithm>
#include <string>
#include <vector>

#include "mirror/line_cache.h"
#include "mirror/line_index.h"
#include "mirror/text_file.h"
#include "run/run_errors.h"
#include "text/record_escape.h"

namespace fts {
namespace {

constexpr std::size_t kPatchChunk = 256 << 10;

// Writes "0" over the ActionFlag before each given line end. The flags are
// patched a chunk of the file at a time: read, changed, written back.
class FlagPatcher {
 public:
  FlagPatcher(Platform& platform, std::string fileName) : fileName_(std::move(fileName)) {
    std::string error;
    reader_ = platform.OpenFile(fileName_, OpenMode::kRead, error);
    if (reader_) writer_ = platform.OpenFile(fileName_, OpenMode::kWriteExisting, error);
    if (!reader_ || !writer_) {
      throw MarkOpenError("cannot open " + fileName_ + " to mark it: " + error);
    }
    chunk_.resize(kPatchChunk);
  }

  void Mark(std::int64_t lineEnd) {
    const std::int64_t flag = lineEnd - 1;
    if (flag < chunkStart_ || flag >= chunkStart_ + static_cast<std::int64_t>(chunkSize_)) {
      Flush();
      chunkStart_ = flag;
      Check(reader_->ReadAt(chunkStart_, chunk_.data(), chunk_.size(), chunkSize_), "read");
      if (chunkSize_ == 0) throw InventoryIoError("cannot mark " + fileName_ + ": past its end");
    }
    chunk_[static_cast<std::size_t>(flag - chunkStart_)] = '0';
    dirty_ = true;
  }

  void Close() {
    Flush();
    Check(reader_->Close(), "close");
    Check(writer_->Close(), "close");
  }

 private:
  void Flush() {
    if (dirty_) Check(writer_->WriteAt(chunkStart_, chunk_.data(), chunkSize_), "mark");
    dirty_ = false;
  }

  void Check(const Status& status, const char* what) {
    if (!status)
      throw InventoryIoError(std::string("cannot ") + what + " " + fileName_ + ": " +
                             status.message);
  }

  std::string fileName_;
  std::unique_ptr<File> reader_;
  std::unique_ptr<File> writer_;
  std::vector<char> chunk_;
  std::int64_t chunkStart_ = 0;
  std::size_t chunkSize_ = 0;
  bool dirty_ = false;
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
  explicit PairFinder(RunContext& run)
      : index_(run.state.toLineIndex),
        source_(run.platform, run.state.source.fileName),
        destination_(run.platform, run.state.destination.fileName) {
    SetUpRecordSplitter(sourceSplitter_);
    SetUpRecordSplitter(sharedSplitter_);
  }

  // One pass over the source inventory. Each record is looked for only
  // among the destination entries below its folder's counterpart: the
  // entries below a folder form one run of the sorted index.
  void Run(FlagPatcher& sourceMarks) {
    struct Range {
      std::int64_t depth;
      std::int64_t lo;
      std::int64_t hi;
    };
    std::vector<Range> open;
    const std::int64_t last = static_cast<std::int64_t>(index_.size()) - 1;

    source_.Open();
    destination_.Open();
    std::string line;
    while (!source_.Eof()) {
      source_.ReadLine(line);
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
          sourceMarks.Mark(source_.Pos() - 2);
          Entry(found) = ~OffsetOf(Entry(found));
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
  InventoryTextFile source_;
  InventoryLineCache destination_;
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

// Marks the destination records at or below a source folder that could not
// be listed, as if they had an identical counterpart.
void ProtectUnlistedSourceFolders(RunContext& run, FlagPatcher& destinationMarks) {
  const auto& folders = run.state.unlistedSourceFolders;
  if (folders.empty()) return;
  TStrArrayClass sharedSplitter;
  SetUpRecordSplitter(sharedSplitter);
  InventoryTextFile destination(run.platform, run.state.destination.fileName);
  std::string line;
  std::string scratch;
  destination.Open();
  while (!destination.Eof()) {
    destination.ReadLine(line);
    sharedSplitter.Split(line);
    const std::string_view relPath = RecordPathView(sharedSplitter.GetItem(kRelPathField), scratch);
    if (std::any_of(folders.begin(), folders.end(),
                    [&](const std::string& folder) { return AtOrBelow(relPath, folder); })) {
      destinationMarks.Mark(destination.Pos() - 2);
    }
  }
  destination.Close();
}

}  // namespace

void MarkIdenticalRecords(RunContext& run) {
  RunState& state = run.state;
  FlagPatcher sourceMarks(run.platform, state.source.fileName);
  PairFinder(run).Run(sourceMarks);
  sourceMarks.Close();

  // The matched destination lines, in file order, so that the marks are
  // written front to back.
  std::vector<std::int64_t>& index = state.toLineIndex;
  const auto matchedEnd = std::partition(index.begin(), index.end(), IsMatched);
  std::for_each(index.begin(), matchedEnd, [](std::int64_t& entry) { entry = ~entry; });
  std::sort(index.begin(), matchedEnd);

  FlagPatcher destinationMarks(run.platform, state.destination.fileName);
  InventoryLineCache lines(run.platform, state.destination.fileName);
  lines.Open();
  for (auto it = index.begin(); it != matchedEnd; ++it) {
    std::int64_t nextLine;
    lines.LineAt(*it, nextLine);
    destinationMarks.Mark(nextLine - 2);
  }
  lines.Close();
  ProtectUnlistedSourceFolders(run, destinationMarks);
  destinationMarks.Close();
}

}  // namespace fts
