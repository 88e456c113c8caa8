#include "inventory/inventory_listing.h"

#include <chrono>
#include <utility>

#include "inventory/entry_facts.h"
#include "inventory/folder_walker.h"
#include "inventory/record_format.h"
#include "inventory/time_stamp.h"
#include "platform/interrupt_cleanup.h"
#include "platform/status.h"

namespace fts {
namespace {

constexpr std::size_t kWriteBufferSize = 256 << 10;

// A walk whose first kReadAheadProbe entries take longer than kSlowProbe
// reads the disk for them: its folders are read ahead on threads.
constexpr std::int64_t kReadAheadProbe = 256;
constexpr auto kSlowProbe = std::chrono::milliseconds(10);

// Collects records and hands them to the system a large block at a time.
class BufferedInventoryFile {
 public:
  explicit BufferedInventoryFile(File& file) : file_(file) {
    buffer_.reserve(kWriteBufferSize + 4096);
  }

  std::string& Buffer() { return buffer_; }

  void FlushIfFull() {
    if (buffer_.size() >= kWriteBufferSize) Flush();
  }

  void Flush() {
    if (buffer_.empty()) return;
    if (Status status = file_.Append(buffer_.data(), buffer_.size()); !status) {
      ThrowRunError(status);
    }
    buffer_.clear();
  }

  void Close() {
    Flush();
    if (Status status = file_.Close(); !status) ThrowRunError(status);
  }

 private:
  File& file_;
  std::string buffer_;
};

// Adds every folder above `relPath` to `folders`.
void KeepFoldersAbove(std::string_view relPath, std::unordered_set<std::string>& folders) {
  for (auto end = relPath.rfind(kPathSeparator); end != std::string_view::npos;
       end = relPath.rfind(kPathSeparator, end - 1)) {
    // The folders above one that is kept are kept already.
    if (!folders.emplace(relPath.substr(0, end)).second || end == 0) break;
  }
}

CleanupSlot SlotOf(Side side) {
  return side == Side::kSource ? CleanupSlot::kSourceInventory : CleanupSlot::kDestinationInventory;
}

}  // namespace

std::string StripTrailingBackslash(std::string_view text) {
  if (!text.empty() && text.back() == kPathSeparator) text.remove_suffix(1);
  return std::string(text);
}

InventoryListing::InventoryListing(Platform& platform, ConsoleLog& log, const TreeRoots& roots,
                                   const ExclusionRules& exclusions, InventoryFiles& files,
                                   CopyRules rules, NameMapping names)
    : platform_(platform),
      log_(log),
      roots_(roots),
      exclusions_(exclusions),
      files_(files),
      rules_(std::move(rules)),
      names_(names) {}

InventoryListing::~InventoryListing() {
  stop_ = true;
  if (destinationWalk_.joinable()) destinationWalk_.join();
}

// Claims the side's inventory name and registers the file for the
// interrupt clean-up in one step that no interrupt can split.
std::optional<ClaimedInventory> InventoryListing::Claim(Side side) {
  const std::string_view base =
      side == Side::kSource ? kSourceInventoryBase : kDestinationInventoryBase;
  InterruptHoldOff holdOff;
  std::optional<ClaimedInventory> claimed = ChooseInventoryName(platform_, base);
  if (claimed) {
    SetInterruptCleanupPath(SlotOf(side), claimed->fileName);
    files_.Of(side) =
        InventoryFile{claimed->fileName, claimed->file->Identity(), std::move(claimed->hold)};
  }
  return claimed;
}

void InventoryListing::LogLimitReached() {
  log_.WriteLog("Parallel Process Limit Over!(MAX:" + std::to_string(kMaxParallelRuns) + ")");
}

// Lists every root of the side into the side's claimed inventory file, one
// record per entry in the walk's order, and closes the file.
void InventoryListing::ListSide(Side side, File& file, SideReport& report,
                                const std::atomic<bool>* stop) {
  BufferedInventoryFile out(file);
  const bool source = side == Side::kSource;
  const bool portable = names_ == NameMapping::kPortable;
  // The source's RelPaths are the names the destination gets: the pairs,
  // the clashes and every destination path are found from them.
  std::string mapped;
  const auto destinationName = [&](std::string_view relPath) -> std::string_view {
    if (!portable || !source) return relPath;
    mapped = PortablePath(relPath, kPathSeparator);
    return mapped;
  };
  // Exclusion patterns match the source's names on both sides.
  std::string unmapped;
  const auto sourceName = [&](std::string_view relPath) -> std::string_view {
    if (!portable || source) return relPath;
    unmapped = PathFromPortable(relPath, kPathSeparator);
    return unmapped;
  };
  const bool limited = scope_ != nullptr && !scope_->Whole();
  CaseClashFinder clashes([this](std::string_view name) { return platform_.FoldLetterCase(name); });
  for (const std::string& root : side == Side::kSource ? roots_.fromRoots : roots_.toRoots) {
    WalkOptions options;
    options.links = side == Side::kSource ? rules_.SourceLinkPolicy() : LinkPolicy::kDoNotFollow;
    const bool skipLinks = side == Side::kSource && rules_.links == SourceLinks::kSkip;
    const bool withFacts = rules_.NeedsFacts();
    if (rules_.compare.attributes) options.attributes = rules_.carried;
    // The run's own inventories may lie inside either tree; they are not
    // part of it.
    for (const InventoryFile* own : {&files_.source, &files_.destination}) {
      if (!own->name.empty()) options.excluded.push_back(own->identity);
    }
    options.onListFailure = [&](const std::string& folder, std::int32_t level,
                                const Status& failure) {
      const std::string relPath =
          level == 0 ? std::string() : std::string(destinationName(folder.substr(root.size())));
      report.messages.push_back("Cannot List Folder : " + root + relPath + " : " + failure.Cause());
      report.unlistedFolders.push_back(relPath);
    };

    // A tree whose first entries come slowly is not in the system's cache:
    // its folders are read ahead on several threads.
    std::unique_ptr<BackgroundWork> readAhead;
    const auto began = std::chrono::steady_clock::now();
    std::int64_t walked = 0;

    // WriteFromRecord and WriteToRecord: one record per entry, every
    // directory entered, no listing ended early.
    const WalkCallback writeRecord = [&](const WalkEntry& entry, bool& descend) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return WalkNext::kStopWalk;
      if (++walked == kReadAheadProbe && std::chrono::steady_clock::now() - began > kSlowProbe) {
        readAhead = platform_.ReadFoldersAhead(root, options.links);
      }
      bool enter = true;
      if (limited) {
        const std::string_view name = sourceName(entry.fullPath.substr(root.size()));
        const auto separator = name.rfind(kPathSeparator);
        const auto verdict = scope_->Judge(
            separator == std::string_view::npos ? std::string_view() : name.substr(0, separator),
            name);
        if (!verdict.listed) {
          descend = false;
          return WalkNext::kContinue;
        }
        enter = verdict.entered;
      }
      if (!exclusions_.Empty() &&
          exclusions_.Excludes(sourceName(entry.fullPath.substr(root.size())), !entry.isFile)) {
        // Neither listed nor entered; the folders that hold it stay.
        ++report.excluded;
        KeepFoldersAbove(entry.fullPath.substr(root.size()), report.foldersHoldingExcluded);
        descend = false;
        return WalkNext::kContinue;
      }
      if (skipLinks && entry.info.isSymlink) {
        // Left out as if excluded.
        ++report.excluded;
        return WalkNext::kContinue;
      }
      const std::string timeStamp = entry.isFile ? TimeStampOf(platform_, entry.info, side) : "";
      const std::string_view relPath = destinationName(entry.fullPath.substr(root.size()));
      if (withFacts) {
        const std::string facts =
            FactsOf(platform_, rules_, entry.fullPath, entry.isFile, entry.info, timeStamp, side);
        FormatInventoryRecordNamed(out.Buffer(), entry.fullPath, relPath, entry.isFile, timeStamp,
                                   facts);
        CountLinkGroup(report, entry, relPath);
      } else {
        FormatInventoryRecordNamed(out.Buffer(), entry.fullPath, relPath, entry.isFile, timeStamp);
      }
      if (source) clashes.Add(entry.level, relPath);
      ++(entry.isFile ? report.files : report.folders);
      const std::int64_t listed = listed_.fetch_add(1, std::memory_order_relaxed) + 1;
      if (side == Side::kSource && onListed_ && listed % 256 == 0) onListed_(listed);
      out.Buffer() += kRecordEnd;
      out.FlushIfFull();
      if (!entry.isFile) descend = enter;
      return WalkNext::kContinue;
    };
    if (!WalkFolder(platform_, StripTrailingBackslash(root), 0, writeRecord, options)) return;
    clashes.EndWalk();
  }
  report.caseClashes = clashes.Take();
  out.Close();
}

// Counts a file with other names towards its group, whose leader is the
// first RelPath in ordinal order.
void InventoryListing::CountLinkGroup(SideReport& report, const WalkEntry& entry,
                                      std::string_view relPath) {
  std::string group = HardLinkGroupOf(rules_, entry.isFile, entry.info);
  if (group.empty()) return;
  auto& tally = report.linkGroups[std::move(group)];
  if (tally.names++ == 0 || CompareOrdinal(relPath, tally.leader) < 0) tally.leader = relPath;
}

bool InventoryListing::ListSource() {
  auto source = Claim(Side::kSource);
  if (!source) {
    LogLimitReached();
    return false;
  }
  destination_ = Claim(Side::kDestination);
  if (destination_) {
    destinationWalk_ = std::thread([this] {
      KeepInterruptsAway();
      try {
        ListSide(Side::kDestination, *destination_->file, destinationReport_, &stop_);
      } catch (...) {
        destinationError_ = std::current_exception();
      }
    });
  }
  SideReport report;
  ListSide(Side::kSource, *source->file, report, nullptr);
  Publish(report, Side::kSource);
  return true;
}

bool InventoryListing::ListDestination() {
  if (!destination_) {
    LogLimitReached();
    return false;
  }
  destinationWalk_.join();
  if (destinationError_) std::rethrow_exception(destinationError_);
  Publish(destinationReport_, Side::kDestination);
  return true;
}

void InventoryListing::Publish(SideReport& report, Side side) {
  for (const std::string& message : report.messages)
    log_.WriteLog(message);
  if (!report.unlistedFolders.empty()) findings_.anyFolderUnlisted = true;
  auto& leaders =
      side == Side::kSource ? findings_.sourceLinkLeaders : findings_.destinationLinkLeaders;
  for (auto& [group, tally] : report.linkGroups) {
    if (tally.names > 1) leaders.emplace(group, std::move(tally.leader));
  }
  if (side == Side::kSource) {
    auto& unlisted = findings_.unlistedSourceFolders;
    unlisted.insert(unlisted.end(), report.unlistedFolders.begin(), report.unlistedFolders.end());
    findings_.sourceExcluded = report.excluded;
    findings_.sourceFiles = report.files;
    findings_.sourceFolders = report.folders;
    findings_.caseClashes = std::move(report.caseClashes);
  } else {
    findings_.destinationFiles = report.files;
    findings_.destinationFolders = report.folders;
    findings_.destinationExcluded = report.excluded;
    findings_.destinationFoldersKept = std::move(report.foldersHoldingExcluded);
  }
}

}  // namespace fts
