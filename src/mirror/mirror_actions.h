// Brings the destination into line with the source from the records still
// flagged "1": deletes and removes what must go, deepest first, then makes
// and copies what must come, top level first.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "inventory/copy_rules.h"
#include "inventory/inventory_files.h"
#include "mirror/action_pipeline.h"
#include "mirror/name_clashes.h"
#include "platform/platform.h"
#include "run/console_log.h"

namespace fts {

// What the actions did (in a dry run: would have done).
struct ActionCounts {
  std::int64_t filesDeleted = 0;  // or moved to the backup folder
  std::int64_t foldersRemoved = 0;
  std::int64_t foldersMade = 0;
  std::int64_t filesCopied = 0;
  std::int64_t failed = 0;  // each logged with an "Action Failed    : " line
  std::uint64_t bytesCopied = 0;
  std::int64_t attributesSet = 0;  // entries mended in place
  // How many workers each step ran on: the count it settled on where the
  // count adapts; 0 for a step without actions.
  struct StepWorkers {
    int deletions = 0;  // files deleted or moved to the backup folder
    int removals = 0;   // folders removed
    int folders = 0;    // folders made
    int copies = 0;     // files copied and entries mended
  } workers;

  std::int64_t Done() const {
    return filesDeleted + foldersRemoved + foldersMade + filesCopied + failed + attributesSet;
  }
};

// One action as its log line tells it: "Copy File" of `path` to `to`.
struct ActionRecord {
  std::string action;  // "Delete File", "Move To Backup", "Remove Directory"...
  std::string path;
  std::string to;  // for a copy or a move
};

// Told of the actions as they are logged, on the thread that logs them.
class ActionObserver {
 public:
  virtual ~ActionObserver() = default;
  // Whether it wants CopiesBegin: sizing the copies takes one more pass over
  // the source inventory and a look at every file to copy.
  virtual bool WantsCopyTotals() const = 0;
  // The copies begin: how many, and how many bytes the files hold.
  virtual void CopiesBegin(std::int64_t copies, std::uint64_t bytes) = 0;
  virtual void ActionDone(const ActionCounts& counts) = 0;
  virtual void ActionFailed(const ActionRecord& action, const Status& failure) = 0;
};

// What the copies keep beyond contents, permission bits and times, for the
// records that carry facts.
struct FaithfulCopies {
  CopyRules rules;
  // The source's hard-link groups and where each group's new names are
  // linked to (see ListingFindings and MarkingResult).
  const std::unordered_map<std::string, std::string>* linkLeaders = nullptr;
  const std::unordered_map<std::string, std::string>* linkAnchors = nullptr;
};

// What the actions work on besides the inventories.
struct MirrorPlan {
  const std::vector<std::string>& toRoots;  // each ends in the separator
  bool dryRun = false;
  WorkerCount workers;  // actions carried out at a time
  // Where deleted and replaced files go instead of being deleted: a folder
  // (ending in the separator) and the run's own folder in it; empty: none.
  std::string backupRoot;
  std::string backupRun;
  ActionObserver* observer = nullptr;
  // nullptr: copies as the records without facts ask for.
  const FaithfulCopies* faithful = nullptr;
  // Source entries the destination cannot hold: each fails, in a dry run
  // too.
  const RefusedNames* refused = nullptr;
};

// Carries out (unless a dry run) and logs every pending action, or logs "No
// Difference In These Folders!" when nothing is pending.
ActionCounts RunMirrorActions(Platform& platform, ConsoleLog& log,
                              const InventoryFiles& inventories, const MirrorPlan& plan);

}  // namespace fts
