#include "mirror/difference_marking.h"

#include <algorithm>
#include <string>
#include <vector>

#include "inventory/entry_facts.h"
#include "inventory/flag_patcher.h"
#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"
#include "mirror/content_checks.h"
#include "platform/status.h"

namespace fts {
namespace {

// How many pairs wait for their contents to be compared at most.
constexpr std::size_t kContentBatch = 1024;

// How many destination marks wait to be written in file order at most.
constexpr std::size_t kMarkBatch = 32 << 10;

// The entries of one destination folder, sorted by name.
class FolderEntries {
 public:
  struct Entry {
    std::size_t name;  // where the name starts in the text
    std::size_t nameLength;
    std::size_t stamp;  // where the TimeStamp starts in the text
    std::size_t stampLength;
    std::int64_t flag;  // the offset of the entry's ActionFlag
    bool isFolder;
    bool isFile;
    std::int64_t line;  // the entry's line, and where the line after it begins
    std::int64_t next;
  };

  void Add(std::string_view name, std::string_view timeStamp, const Entry& entry) {
    entries_.push_back(entry);
    Entry& added = entries_.back();
    added.name = text_.size();
    added.nameLength = name.size();
    text_ += name;
    added.stamp = text_.size();
    added.stampLength = timeStamp.size();
    text_ += timeStamp;
  }
  void Sort() {
    std::sort(entries_.begin(), entries_.end(),
              [&](const Entry& a, const Entry& b) { return NameOf(a) < NameOf(b); });
  }
  // The entry of that name, or nullptr.
  const Entry* Find(std::string_view name) const {
    const std::int64_t found = BisectToLineIndex(
        0, static_cast<std::int64_t>(entries_.size()) - 1, name,
        [&](std::int64_t i) { return NameOf(entries_[static_cast<std::size_t>(i)]); });
    return found < 0 ? nullptr : &entries_[static_cast<std::size_t>(found)];
  }
  std::string_view NameOf(const Entry& entry) const {
    return std::string_view(text_).substr(entry.name, entry.nameLength);
  }
  std::string_view StampOf(const Entry& entry) const {
    return std::string_view(text_).substr(entry.stamp, entry.stampLength);
  }

 private:
  std::vector<Entry> entries_;
  std::string text_;
};

// The last name of a RelPath.
std::string_view NameIn(std::string_view relPath) {
  return relPath.substr(relPath.rfind(kPathSeparator) + 1);
}

class PairFinder {
 public:
  PairFinder(Platform& platform, const InventoryFiles& inventories, const ToLineIndex& index,
             FlagPatcher& sourceMarks, FlagPatcher& destinationMarks, const FactsComparison* facts,
             const RefusedNames* refused)
      : facts_(facts),
        refused_(refused != nullptr && !refused->Empty() ? refused : nullptr),
        index_(index),
        source_(platform, inventories.source.name),
        destination_(platform, inventories.destination.name, InventoryReader::Access::kScattered),
        sourceMarks_(sourceMarks),
        destinationMarks_(destinationMarks),
        contents_(platform, facts != nullptr ? facts->readers : 1) {
    SetUpRecordSplitter(sourceSplitter_);
    SetUpRecordSplitter(destinationSplitter_);
  }

  void Run(MarkingResult& result) {
    // The folders from the root down to the source record's parent, each
    // with its destination counterpart's entries (none without one).
    struct Frame {
      std::int64_t depth;
      FolderEntries entries;
    };
    std::vector<Frame> open;
    open.push_back({-1, {}});
    LoadEntries(0, index_.Size(), open.back().entries);

    std::string_view line;
    while (source_.ReadLine(line)) {
      sourceSplitter_.Split(line);
      const std::int64_t depth = DepthOf(sourceSplitter_);
      while (open.back().depth >= depth)
        open.pop_back();
      if (open.back().depth != depth - 1) NotDepthFirst(source_.FileName());
      const std::string_view relPath =
          RecordPathView(sourceSplitter_.GetItem(kRelPathField), scratch_);
      const FolderEntries& entries = open.back().entries;
      const FolderEntries::Entry* found = entries.Find(NameIn(relPath));
      if (refused_ != nullptr && found != nullptr && refused_->Clashes(relPath)) found = nullptr;
      if (found != nullptr) {
        const PairVerdict verdict = Judge(relPath, entries.StampOf(*found));
        const Pair pair{ActionFlagOffset(source_.Pos()), found->flag,
                        IsFileRecord(sourceSplitter_) && found->isFile};
        if (verdict != PairVerdict::kDiffer && NeedsContents()) {
          DeferToContents(relPath, *found, pair, verdict, result);
        } else {
          Settle(pair, verdict, relPath, LinkGroup(), result);
        }
      }
      if (IsDirectoryRecord(sourceSplitter_)) {
        const bool counterpart = found != nullptr && found->isFolder;
        const std::int64_t line = counterpart ? found->line : -1;
        const std::int64_t next = counterpart ? found->next : -1;
        open.push_back({depth, {}});
        if (counterpart) LoadEntries(next, index_.EndOf(line), open.back().entries);
      }
    }
    CompareDeferred(result);
    WriteDestinationMarks();
    source_.Close();
    destination_.Close();
  }

 private:
  // A pair's ActionFlags, and whether both of its entries are files.
  struct Pair {
    std::int64_t sourceFlag;
    std::int64_t destinationFlag;
    bool files;
  };

  // The split source record against the destination entry of its name,
  // whose TimeStamp (or, with facts, Facts field) is `destinationKey`.
  PairVerdict Judge(std::string_view relPath, std::string_view destinationKey) {
    if (facts_ == nullptr) {
      return sourceSplitter_.GetItem(kTimeStampField) == destinationKey ? PairVerdict::kIdentical
                                                                        : PairVerdict::kDiffer;
    }
    return JudgeFacts(FactsOf(sourceSplitter_), destinationKey, relPath, facts_->leaders);
  }

  // True when the split source record's verdict waits for its contents.
  bool NeedsContents() const {
    return facts_ != nullptr && facts_->contents && FactsOfRegularFile(FactsOf(sourceSplitter_));
  }

  // The group part of the split source record's facts.
  std::string_view LinkGroup() const {
    return facts_ == nullptr ? std::string_view() : SplitFacts(FactsOf(sourceSplitter_)).group;
  }

  // Marks a pair as its verdict says, and counts it.
  void Settle(const Pair& pair, PairVerdict verdict, std::string_view relPath,
              std::string_view group, MarkingResult& result) {
    if (verdict == PairVerdict::kDiffer) {
      if (pair.files) ++result.updatedFiles;
      return;
    }
    sourceMarks_.Mark(pair.sourceFlag, verdict == PairVerdict::kMend ? kActionMend : kActionNone);
    MarkDestination(pair.destinationFlag);
    ++(verdict == PairVerdict::kMend ? result.mendedPairs : result.identicalPairs);
    // A group member whose counterpart stays is where the group's new names
    // are linked to.
    if (!group.empty()) result.linkAnchors.emplace(std::string(group), std::string(relPath));
  }

  // Keeps a pair whose facts agree until its contents are compared with
  // those of a batch of others.
  void DeferToContents(std::string_view relPath, const FolderEntries::Entry& destination,
                       const Pair& pair, PairVerdict verdict, MarkingResult& result) {
    std::int64_t next;
    destinationSplitter_.Split(destination_.LineAt(destination.line, next));
    contents_.Add(UnescapeRecordPath(sourceSplitter_.GetItem(kFullPathField)),
                  UnescapeRecordPath(destinationSplitter_.GetItem(kFullPathField)));
    deferred_.push_back({pair, verdict, std::string(relPath), std::string(LinkGroup())});
    if (deferred_.size() >= kContentBatch) CompareDeferred(result);
  }

  // A file that cannot be read is copied again: the copy says why it fails.
  void CompareDeferred(MarkingResult& result) {
    if (deferred_.empty()) return;
    const std::vector<bool> same = contents_.CompareAll();
    for (std::size_t i = 0; i < deferred_.size(); ++i) {
      const Deferred& pair = deferred_[i];
      Settle(pair.pair, same[i] ? pair.verdict : PairVerdict::kDiffer, pair.relPath, pair.group,
             result);
    }
    deferred_.clear();
  }

  [[noreturn]] static void NotDepthFirst(const std::string& fileName) {
    ThrowRunError(Status::Error("compare", fileName, "it does not list a tree depth first"));
  }

  // The entries of the folder whose lines below it run from `begin` to
  // `end`: the lines right below it, the subfolders' own lines skipped.
  void LoadEntries(std::int64_t begin, std::int64_t end, FolderEntries& entries) {
    for (std::int64_t at = begin; at < end;) {
      std::int64_t next;
      destinationSplitter_.Split(destination_.LineAt(at, next));
      if (next <= at) NotDepthFirst(destination_.FileName());
      const bool isFolder = IsDirectoryRecord(destinationSplitter_);
      const std::string_view relPath =
          RecordPathView(destinationSplitter_.GetItem(kRelPathField), scratch_);
      entries.Add(NameIn(relPath),
                  facts_ != nullptr ? FactsOf(destinationSplitter_)
                                    : destinationSplitter_.GetItem(kTimeStampField),
                  {0, 0, 0, 0, ActionFlagOffset(next), isFolder, IsFileRecord(destinationSplitter_),
                   at, next});
      const std::int64_t after = isFolder ? index_.EndOf(at) : next;
      if (after < next) NotDepthFirst(destination_.FileName());
      at = after;
    }
    entries.Sort();
  }

  // The destination marks are written in file order, a batch at a time.
  void MarkDestination(std::int64_t flag) {
    pendingMarks_.push_back(flag);
    if (pendingMarks_.size() >= kMarkBatch) WriteDestinationMarks();
  }
  void WriteDestinationMarks() {
    std::sort(pendingMarks_.begin(), pendingMarks_.end());
    for (std::int64_t flag : pendingMarks_)
      destinationMarks_.Mark(flag);
    pendingMarks_.clear();
  }

  const FactsComparison* facts_;
  const RefusedNames* refused_;
  const ToLineIndex& index_;
  InventoryReader source_;
  InventoryReader destination_;
  FlagPatcher& sourceMarks_;
  FlagPatcher& destinationMarks_;
  TStrArrayClass sourceSplitter_;
  TStrArrayClass destinationSplitter_;
  std::string scratch_;
  std::vector<std::int64_t> pendingMarks_;
  struct Deferred {
    Pair pair;
    PairVerdict verdict;
    std::string relPath;
    std::string group;
  };
  std::vector<Deferred> deferred_;
  ContentChecks contents_;
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
    if (keep) destinationMarks.Mark(ActionFlagOffset(destination.Pos()));
  }
  destination.Close();
}

}  // namespace

MarkingResult MarkIdenticalRecords(Platform& platform, const InventoryFiles& inventories,
                                   const ToLineIndex& index, const KeptEntries& kept,
                                   const FactsComparison* facts, const RefusedNames* refused) {
  MarkingResult result;
  result.destinationEntries = index.Entries();
  FlagPatcher sourceMarks(platform, inventories.source.name, 256 << 10);
  FlagPatcher destinationMarks(platform, inventories.destination.name);
  PairFinder(platform, inventories, index, sourceMarks, destinationMarks, facts, refused)
      .Run(result);
  sourceMarks.Close();
  MarkKeptEntries(platform, inventories.destination.name, kept, destinationMarks);
  destinationMarks.Close();
  result.destinationPending = result.destinationEntries - destinationMarks.Marked();
  return result;
}

}  // namespace fts
