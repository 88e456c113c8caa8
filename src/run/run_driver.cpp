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
#include "run/run_monitor.h"
#include "run/run_report.h"
#include "run/version.h"

namespace fts {
namespace {

constexpr std::array<std::string_view, 20> kUsage = {
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
    "  --links=follow|keep|skip : follow source links, mirror them as links, or leave them out",
    "  --preserve=LIST     : carry owner,xattrs,acls,hardlinks too",
    "  --compare=LIST      : tell changed files by time,size,content,attributes",
    "  --names=portable    : write names a USB disk or share refuses with look-alikes",
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
constexpr int kDefaultJobs = 8;

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

// Steps 1 to 13 of a run, one after the other; Run returns the exit code.
class RunSequence {
 public:
  RunSequence(Platform& platform, ConsoleLog& log, InventoryFiles& inventories, RunRecord& record)
      : platform_(platform), log_(log), inventories_(inventories), record_(record) {}

  int Run(const std::vector<std::string>& arguments) {
    record_.start = platform_.Now();
    InitOptionTable(commandLine_.optionTable);
    TStrManipulatorClass manipulator;
    std::string reason;
    if (!ParseCommandLine(arguments, platform_, manipulator, commandLine_, reason)) {
      log_.WritePlain("Invalid Command Line Argument.");
      if (!reason.empty()) {
        platform_.WriteStderr("FernwickTreeSyncer: " + reason + std::string(kConsoleLineEnd));
      }
      return kExitError;
    }
    if (commandLine_.helpRequested) {
      for (auto line : kUsage)
        log_.WritePlain(line);
      log_.WritePlain("");
      return kExitNormal;
    }
    if (commandLine_.versionRequested) {
      log_.WritePlain("FernwickTreeSyncer " + std::string(kVersion));
      return kExitNormal;
    }
    record_.source = commandLine_.mirrorFromPath;
    record_.destination = commandLine_.mirrorToPath;
    record_.dryRun = commandLine_.dryRun;
    RunMonitor monitor(platform_, log_, record_, commandLine_.reportFile, commandLine_.progress);
    monitor_ = &monitor;
    const int exitCode = Mirror();
    monitor_ = nullptr;
    return exitCode;
  }

  // Whether the run got as far as the mirror (and so has figures and, when
  // asked, a report to write).
  bool Mirrored() const { return mirrored_; }
  const CommandLine& Command() const { return commandLine_; }

 private:
  int Mirror() {
    mirrored_ = true;
    const bool dryRun = commandLine_.dryRun;
    log_.SetDryRun(dryRun);
    if (dryRun) LogDryRunNotice(log_);
    log_.WriteLog(kStartBanner);
    log_.WriteLog("MirrorFromPath : " + commandLine_.mirrorFromPath);
    log_.WriteLog("MirrorToPath   : " + commandLine_.mirrorToPath);

    const TreeRoots& roots = commandLine_.roots;
    const CopyRules& rules = commandLine_.copyRules;
    InventoryListing listing(platform_, log_, roots, commandLine_.exclusions, inventories_, rules,
                             commandLine_.names);
    listing.SetProgress([this](std::int64_t listed) { monitor_->Listed(listed); });
    monitor_->Phase("listing");
    log_.WriteLog("Get MirrorFromPath Information...");
    if (!listing.ListSource()) return End(kAbnormalEndBanner, kExitNoInventoryName);
    log_.WriteLog("Get MirrorToPath Information...");
    if (!listing.ListDestination()) return End(kAbnormalEndBanner, kExitNoInventoryName);
    const ListingFindings& listed = listing.Findings();
    RunFigures& figures = record_.figures;
    figures.sourceFiles = listed.sourceFiles;
    figures.sourceFolders = listed.sourceFolders;
    figures.destinationFiles = listed.destinationFiles;
    figures.destinationFolders = listed.destinationFolders;
    figures.excludedEntries = listed.sourceExcluded + listed.destinationExcluded;

    monitor_->Phase("comparing");
    const RefusedNames refused =
        RefuseCaseClashes(platform_, listed.caseClashes, roots.toRoots, !dryRun);
    const ToLineIndex toLineIndex = BuildToLineIndex(platform_, inventories_.destination.name);
    log_.WriteLog("Detect The Difference In These Folders...");
    const int jobs = commandLine_.jobs > 0 ? commandLine_.jobs : kDefaultJobs;
    const FactsComparison factsComparison{
        rules.compare.content, {listed.sourceLinkLeaders, listed.destinationLinkLeaders}, jobs};
    const MarkingResult marked =
        MarkIdenticalRecords(platform_, inventories_, toLineIndex,
                             {listed.unlistedSourceFolders, listed.destinationFoldersKept},
                             rules.NeedsFacts() ? &factsComparison : nullptr, &refused);
    figures.identicalEntries = marked.identicalPairs;
    figures.attributesWeighed = rules.NeedsFacts();
    // Decided before the first action: over the limit, nothing is done.
    if (commandLine_.deletionLimit &&
        OverDeletionLimit(*commandLine_.deletionLimit, marked, log_)) {
      return End(kAbnormalEndBanner, kExitDeletionLimit);
    }

    monitor_->Phase("actions");
    monitor_->ActionsBegin(marked.destinationPending +
                           (listed.sourceFiles + listed.sourceFolders - marked.identicalPairs));
    const FaithfulCopies faithful{rules, &listed.sourceLinkLeaders, &marked.linkAnchors};
    MirrorPlan plan{roots.toRoots,
                    dryRun,
                    commandLine_.jobs > 0 ? commandLine_.jobs : kDefaultJobs,
                    {},
                    {},
                    monitor_,
                    rules.NeedsFacts() ? &faithful : nullptr,
                    &refused};
    if (!commandLine_.backupDir.empty()) {
      plan.backupRoot = RootOf(commandLine_.backupDir);
      plan.backupRun = RunFolderName(record_.start);
    }
    figures.actions = RunMirrorActions(platform_, log_, inventories_, plan);

    // A folder that could not be listed or an action that failed leaves the
    // destination short of a mirror: the run must not end as a success.
    if (listed.anyFolderUnlisted || figures.actions.failed > 0) {
      return End(kAbnormalEndBanner, kExitActionsFailed);
    }
    return End(kNormalEndBanner, kExitNormal);
  }

  // The end banner, in a dry run the notice after a normal end, and with
  // --stats the run's figures.
  int End(std::string_view banner, int exitCode) {
    monitor_->Phase("ending");
    log_.WriteLog(banner);
    if (commandLine_.dryRun && exitCode == kExitNormal) LogDryRunNotice(log_);
    if (commandLine_.stats) {
      for (const std::string& line : StatsLines(record_.figures))
        log_.WriteLog(line);
    }
    return exitCode;
  }

  Platform& platform_;
  ConsoleLog& log_;
  InventoryFiles& inventories_;
  RunRecord& record_;
  CommandLine commandLine_;
  RunMonitor* monitor_ = nullptr;
  bool mirrored_ = false;
};

// Writes the report of a run that has ended, in one step.
void WriteReport(Platform& platform, const std::string& file, RunRecord& record) {
  record.end = platform.Now();
  if (const Status written = platform.ReplaceFile(file, ReportJson(record)); !written) {
    platform.WriteStderr("FernwickTreeSyncer: " + written.Message() + std::string(kConsoleLineEnd));
  }
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
  RunRecord record;
  RunSequence run(platform, log, inventories, record);
  int exitCode = kExitError;
  std::string failure;
  try {
    exitCode = run.Run(arguments);
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
  if (run.Mirrored() && !run.Command().reportFile.empty()) {
    record.exitCode = exitCode;
    record.ending = !failure.empty()          ? "unhandled error"
                    : exitCode == kExitNormal ? "normal end"
                                              : "abnormal end";
    record.error = failure;
    WriteReport(platform, run.Command().reportFile, record);
    SetInterruptReport("", "", 0);
  }
  return exitCode;
}

}  // namespace fts
