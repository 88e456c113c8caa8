// Lists the source and the destination tree into their inventory files:
// one record per entry, in the walk's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "inventory/case_clashes.h"
#include "inventory/copy_rules.h"
#include "inventory/exclusion_rules.h"
#include "inventory/folder_walker.h"
#include "inventory/inventory_files.h"
#include "inventory/inventory_names.h"
#include "inventory/pass_scope.h"
#include "inventory/portable_names.h"
#include "platform/platform.h"
#include "run/console_log.h"

namespace fts {

// `text` without its last byte when that is a separator.
std::string StripTrailingBackslash(std::string_view text);

// What the listings found besides their records.
struct ListingFindings {
  // RelPaths of the source folders that could not be listed ("" for the root).
  std::vector<std::string> unlistedSourceFolders;
  // A folder of either side could not be listed (each one was logged).
  bool anyFolderUnlisted = false;
  // The entries listed, per side and kind.
  std::int64_t sourceFiles = 0;
  std::int64_t sourceFolders = 0;
  std::int64_t destinationFiles = 0;
  std::int64_t destinationFolders = 0;
  // Entries left out by the exclusion rules, per side.
  std::int64_t sourceExcluded = 0;
  std::int64_t destinationExcluded = 0;
  // RelPaths of the destination folders that hold excluded entries, at any
  // depth below them: they stay, whatever the source holds.
  std::unordered_set<std::string> destinationFoldersKept;
  // With hard links kept: the files of each side that have other names in
  // the same tree, as the group part of their facts, and the first RelPath
  // of each group in ordinal order, its leader.
  std::unordered_map<std::string, std::string> sourceLinkLeaders;
  std::unordered_map<std::string, std::string> destinationLinkLeaders;
  // Source entries of one folder whose destination names differ only in
  // letter case.
  std::vector<CaseClash> caseClashes;
};

// Lists the source tree and then the destination tree. The destination tree
// is walked on a second thread while the source tree is walked; its messages
// are held back until ListDestination, so the log reads exactly as if the
// listings ran one after the other.
class InventoryListing {
 public:
  // `files` receives each inventory's name the moment this run has created
  // it, so that the run's clean-up finds it whatever happens next.
  InventoryListing(Platform& platform, ConsoleLog& log, const TreeRoots& roots,
                   const ExclusionRules& exclusions, InventoryFiles& files, CopyRules rules = {},
                   NameMapping names = NameMapping::kAsIs);
  ~InventoryListing();
  InventoryListing(const InventoryListing&) = delete;
  InventoryListing& operator=(const InventoryListing&) = delete;

  // False when no source inventory name is free (the limit message has
  // been logged).
  bool ListSource();
  // False when no destination inventory name is free.
  bool ListDestination();

  const ListingFindings& Findings() const { return findings_; }

  // Lists only what `scope` holds (see pass_scope.h) instead of the whole
  // trees; it must outlive the listing.
  void LimitTo(const PassScope* scope) { scope_ = scope; }

  // Told, now and then on the source's walk, how many entries both walks
  // have listed so far.
  void SetProgress(std::function<void(std::int64_t listed)> onListed) {
    onListed_ = std::move(onListed);
  }

 private:
  // One line per folder that could not be listed, and those folders' RelPaths.
  struct SideReport {
    std::vector<std::string> messages;
    std::vector<std::string> unlistedFolders;
    std::int64_t files = 0;
    std::int64_t folders = 0;
    std::int64_t excluded = 0;
    std::unordered_set<std::string> foldersHoldingExcluded;
    struct LinkGroup {
      std::int64_t names = 0;
      std::string leader;
    };
    std::unordered_map<std::string, LinkGroup> linkGroups;
    std::vector<CaseClash> caseClashes;
  };

  std::optional<ClaimedInventory> Claim(Side side);
  void ListSide(Side side, File& file, SideReport& report, const std::atomic<bool>* stop);
  void Publish(SideReport& report, Side side);
  void CountLinkGroup(SideReport& report, const WalkEntry& entry, std::string_view relPath);
  void LogLimitReached();

  Platform& platform_;
  ConsoleLog& log_;
  const TreeRoots& roots_;
  const ExclusionRules& exclusions_;
  InventoryFiles& files_;
  const CopyRules rules_;
  const NameMapping names_;
  const PassScope* scope_ = nullptr;
  ListingFindings findings_;
  std::function<void(std::int64_t)> onListed_;
  std::atomic<std::int64_t> listed_{0};

  std::optional<ClaimedInventory> destination_;
  SideReport destinationReport_;
  std::thread destinationWalk_;
  std::atomic<bool> stop_{false};
  std::exception_ptr destinationError_;
};

}  // namespace fts
