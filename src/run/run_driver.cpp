#include "run/run_driver.h"

#include <array>
#include <cstdio>
#include <exception>

#include "inventory/inventory_listing.h"
#include "mirror/difference_marking.h"
#include "mirror/line_index.h"
#include "mirror/mirror_actions.h"
#include "platform/interrupt_cleanup.h"
#include "platform/status.h"
#include "run/command_line.h"
#include "run/console_log.h"
#include "run/version.h"

namespace fts {
namespace {

constexpr std::array<std::string_view, 16> kUsage = {
    "",
    "Usage: FernwickTreeSyncer[.exe] [switch] [mirror from path] [mirror to path]",
    "switch:",
    "  -n        : show what would have been transferred",
    "  --dry-run : show what would have been transferred",
    "  --max-delete=N      : change nothing when more than N destination entries would go",
    "  --max-delete=P%     : change nothing when more than P % of them would go",
    "  --exclude=PATTERN   : leave out the entries that PATTERN matches (may be repeated)",
    "  --exclude-from=FILE : leave out the entries that a pattern of FILE matches",
    "  --backup-dir=PATH   : move deleted and replaced files to PATH/<run start>/",
    "  --jobs=N            : carry out N actions at a time",
    "  --stats             : end the log with the run's figures",
    "  --report=FILE       : write the run's figures and failures to FILE as JSON",
    "  --progress          : show the run's progress on a terminal",
    "  --version           : show the program's version (given alone)",
    "Switches come before the folders, each once; --exclude may be repeated.",
};

constexpr std::array<std::string_view, 5> kDryRunNotice = {
    "********************************************************************************",
    "* NOTICE!                                                                      *",
    "* FernwickTreeSyncer has been executed in dry run mode.                        *",
    "* This mode will just report action plans without actual mirroring.            *",
    "********************************************************************************",
};

constexpr std::string_view kStartBanner =
    "******** FernwickTreeSyncer Start **********************************************";
constexpr std::string_view kNormalEndBanner =
    "******** FernwickTreeSyncer Normal End *****************************************";
constexpr std::string_view kAbnormalEndBanner =
    "******** FernwickTreeSyncer AbNormal End ***************************************";

void LogDryRunNotice(ConsoleLog& log) {
  for (auto line : kDryRunNotice)
    log.WriteLog(line);
}

// How many actions a run carries out at a time unless told (see README).
constexpr int kDefaultJobs = 4;

// "YYYY-MM-DD_HHMMSS": the name of a run's own folder in the backup folder.
std::string RunFolderName(const LocalDateTime& start) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d%02d%02d", start.year, start.month,
                start.day, start.hour, start.minute, start.second);
  return name;
}

// True when the run would delete more destination entries than the limit
// allows; logs how many.
bool OverDeletionLimit(const DeletionLimit& limit, const MarkingResult& marked, ConsoleLog& log) {
  // An updated file is deleted and copied afresh: it is no loss.
  const std::int64_t deletions = marked.destinationPending - marked.updatedFiles;
  const std::int64_t total = marked.destinationEntries;
  const bool over = limit.isShare ? deletions * 100 > limit.count * total : deletions > limit.count;
  if (over) {
    log.WriteLog("Deletion Limit Exceeded : " + std::to_string(deletions) + " of " +
                 std::to_string(total) + " destination entries would be deleted, the limit is " +
                 limit.typed);
  }
  return over;
}

// Steps 1 to 13 of a run; returns the exit code. `inventories` receives the
// names of the inventory files this run creates.
int RunSequence(const std::vector<std::string>& arguments, Platform& platform, ConsoleLog& log,
                InventoryFiles& inventories) {
  const LocalDateTime start = platform.Now();
  CommandLine commandLine;
  InitOptionTable(commandLine.optionTable);
  TStrManipulatorClass manipulator;

  std::string reason;
  if (!ParseCommandLine(arguments, platform, manipulator, commandLine, reason)) {
    log.WritePlain("Invalid Command Line Argument.");
    if (!reason.empty())
      platform.WriteStderr("FernwickTreeSyncer: " + reason + std::string(kConsoleLineEnd));
    return kExitError;
  }
  if (commandLine.helpRequested) {
    for (auto line : kUsage)
      log.WritePlain(line);
    log.WritePlain("");
    return kExitNormal;
  }
  if (commandLine.versionRequested) {
    log.WritePlain(std::string("FernwickTreeSyncer ") + std::string(kVersion));
    return kExitNormal;
  }

  const bool dryRun = commandLine.dryRun;
  log.SetDryRun(dryRun);
  if (dryRun) LogDryRunNotice(log);

  log.WriteLog(kStartBanner);
  log.WriteLog("MirrorFromPath : " + commandLine.mirrorFromPath);
  log.WriteLog("MirrorToPath   : " + commandLine.mirrorToPath);

  const TreeRoots& roots = commandLine.roots;
  InventoryListing listing(platform, log, roots, commandLine.exclusions, inventories);
  log.WriteLog("Get MirrorFromPath Information...");
  if (!listing.ListSource()) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitNoInventoryName;
  }
  log.WriteLog("Get MirrorToPath Information...");
  if (!listing.ListDestination()) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitNoInventoryName;
  }
  const ListingFindings& listed = listing.Findings();

  const ToLineIndex toLineIndex = BuildToLineIndex(platform, inventories.destination.name);
  log.WriteLog("Detect The Difference In These Folders...");
  const MarkingResult marked =
      MarkIdenticalRecords(platform, inventories, toLineIndex,
                           {listed.unlistedSourceFolders, listed.destinationFoldersKept});
  // Decided before the first action: over the limit, nothing is done.
  if (commandLine.deletionLimit && OverDeletionLimit(*commandLine.deletionLimit, marked, log)) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitDeletionLimit;
  }

  MirrorPlan plan{
      roots.toRoots, dryRun, commandLine.jobs > 0 ? commandLine.jobs : kDefaultJobs, {}, {}};
  if (!commandLine.backupDir.empty()) {
    plan.backupRoot = RootOf(commandLine.backupDir);
    plan.backupRun = RunFolderName(start);
  }
  const ActionCounts done = RunMirrorActions(platform, log, inventories, plan);

  // A folder that could not be listed or an action that failed leaves the
  // destination short of a mirror: the run must not end as a success.
  if (listed.anyFolderUnlisted || done.failed > 0) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitActionsFailed;
  }
  log.WriteLog(kNormalEndBanner);
  if (dryRun) LogDryRunNotice(log);
  return kExitNormal;
}

// Step 14: deletes the inventory files that this run created, and only those.
void CleanUp(Platform& platform, InventoryFiles& inventories) {
  for (Side side : {Side::kSource, Side::kDestination}) {
    InventoryFile& inventory = inventories.Of(side);
    if (inventory.name.empty() || !inventory.hold) continue;
    if (const Status status = inventory.hold->DeleteAndRelease(); !status) {
      platform.WriteStderr("FernwickTreeSyncer: " + status.Message() +
                           std::string(kConsoleLineEnd));
    }
    SetInterruptCleanupPath(
        side == Side::kSource ? CleanupSlot::kSourceInventory : CleanupSlot::kDestinationInventory,
        "");
  }
}

}  // namespace

int RunFernwickTreeSyncer(const std::vector<std::string>& arguments, Platform& platform) {
  InventoryFiles inventories;
  ConsoleLog log(platform);
  int exitCode = kExitError;
  std::string failure;
  try {
    exitCode = RunSequence(arguments, platform, log, inventories);
  } catch (const RunError& error) {
    failure = std::string(error.KindText()) + ": " + error.what();
  } catch (const std::exception& error) {
    failure = std::string("Error: ") + error.what();
  }
  CleanUp(platform, inventories);
  if (!failure.empty()) {
    platform.WriteStdout("Unhandled Error : " + failure + std::string(kConsoleLineEnd));
    exitCode = kExitError;
  }
  return exitCode;
}

}  // namespace fts
