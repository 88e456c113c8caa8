#include "run/run_driver.h"

#include <array>
#include <cstdio>
#include <exception>
#include <optional>

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
#include "watch/watch_loop.h"

namespace fts {
namespace {

constexpr std::array<std::string_view, 23> kUsage = {
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
    "  --jobs=N|auto       : carry out N actions at a time, or as many as pay (default)",
    "  --stats             : end the log with the run's figures",
    "  --report=FILE       : write the run's figures and failures to FILE as JSON",
    "  --progress          : show the run's progress on a terminal",
    "  --links=follow|keep|skip : follow source links, mirror them as links, or leave them out",
    "  --preserve=LIST     : carry owner,xattrs,acls,hardlinks too",
    "  --compare=LIST      : tell changed files by time,size,content,attributes",
    "  --names=portable    : write names a USB disk or share refuses with look-alikes",
    "  --watch             : stay, and mirror each change of the source as it comes",
    "  --watch-delay=SECONDS : with --watch, wait until changes are quiet that long (2)",
    "  --rescan=DURATION   : with --watch, compare the whole trees that often (24h)",
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

// How many pairs of files the content comparison reads at a time unless
// told (see README).
constexpr int kDefaultJobs = 8;
// The most actions each step of --jobs=auto tries at a time.
constexpr int kMostAdaptiveJobs = 16;

// "YYYY-MM-DD_HHMMSS": the name of a run's own folder in the backup folder.
std::string RunFolderName(const LocalDateTime& start) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d%02d%02d", start.year, start.month,
                start.day, start.hour, start.minute, start.second);
  return name;
}

// True when the run would delete more destination entries than the limit
// allows; logs how many.
bool OverDeletionLimit(const DeletionLimit& limit, const MarkingResult& marked, std::int64_t total,
                       ConsoleLog& log) {
  // An updated file is deleted and copied afresh: it is no loss.
  const std::int64_t deletions = marked.destinationPending - marked.updatedFiles;
  const bool over = limit.isShare ? deletions * 100 > limit.count * total : deletions > limit.count;
  if (over) {
    log.WriteLog("Deletion Limit Exceeded : " + std::to_string(deletions) + " of " +
                 std::to_string(total) + " destination entries would be deleted, the limit is " +
                 limit.typed);
  }
  return over;
}

// Steps 2 to 13 of a run, one after the other, once the command line is
// read; Run returns the exit code. A pass of the continuous mode is such a
// run limited to a scope.
class RunSequence {
 public:
  RunSequence(Platform& platform, ConsoleLog& log, const CommandLine& commandLine,
              InventoryFiles& inventories, RunRecord& record, const PassScope* scope,
              PassTotals& totals)
      : platform_(platform),
        log_(log),
        commandLine_(commandLine),
        inventories_(inventories),
        record_(record),
        scope_(scope),
        totals_(totals) {}

  int Run() {
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
    listing.LimitTo(scope_);
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
    // A pass weighs its deletions against the whole destination as the
    // last whole listing counted it and later passes kept up to date.
    const bool partial = scope_ != nullptr && !scope_->Whole();
    const std::int64_t wholeDestination = partial && totals_.destinationEntries
                                              ? *totals_.destinationEntries
                                              : marked.destinationEntries;
    if (commandLine_.deletionLimit &&
        OverDeletionLimit(*commandLine_.deletionLimit, marked, wholeDestination, log_)) {
      return End(kAbnormalEndBanner, kExitDeletionLimit);
    }

    monitor_->Phase("actions");
    monitor_->ActionsBegin(marked.destinationPending +
                           (listed.sourceFiles + listed.sourceFolders - marked.identicalPairs));
    const FaithfulCopies faithful{rules, &listed.sourceLinkLeaders, &marked.linkAnchors};
    MirrorPlan plan{roots.toRoots,
                    dryRun,
                    commandLine_.jobs > 0 ? WorkerCount{commandLine_.jobs, false}
                                          : WorkerCount{kMostAdaptiveJobs, true},
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
    const ActionCounts& done = figures.actions;
    totals_.destinationEntries = wholeDestination - done.filesDeleted - done.foldersRemoved +
                                 done.foldersMade + done.filesCopied;

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
  const CommandLine& commandLine_;
  InventoryFiles& inventories_;
  RunRecord& record_;
  const PassScope* scope_;
  PassTotals& totals_;
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

// A continuous mirror: the first pass over the whole trees, then a pass
// whenever the source changed (see watch/watch_loop.h).
int WatchAndMirror(Platform& platform, ConsoleLog& log, const CommandLine& commandLine,
                   PassTotals& totals) {
  WatchSettings settings;
  settings.quiet = commandLine.watchDelay;
  settings.rescan = commandLine.rescan;
  const std::string root = commandLine.roots.fromRoots.front();
  return WatchLoop(platform, root, settings,
                   [&](const PassScope* scope) {
                     return RunMirrorPass(platform, log, commandLine, scope, totals);
                   })
      .Run();
}

// Step 1: the command line. Returns the exit code when the program ends
// here: a bad command line, help or the version.
std::optional<int> ReadCommandLine(const std::vector<std::string>& arguments, Platform& platform,
                                   ConsoleLog& log, CommandLine& commandLine) {
  InitOptionTable(commandLine.optionTable);
  TStrManipulatorClass manipulator;
  std::string reason;
  if (!ParseCommandLine(arguments, platform, manipulator, commandLine, reason)) {
    log.WritePlain("Invalid Command Line Argument.");
    if (!reason.empty()) {
      platform.WriteStderr("FernwickTreeSyncer: " + reason + std::string(kConsoleLineEnd));
    }
    return kExitError;
  }
  if (commandLine.helpRequested) {
    for (auto line : kUsage)
      log.WritePlain(line);
    log.WritePlain("");
    return kExitNormal;
  }
  if (commandLine.versionRequested) {
    log.WritePlain("FernwickTreeSyncer " + std::string(kVersion));
    return kExitNormal;
  }
  return std::nullopt;
}

// An unhandled error's text, for the log and the report.
std::string UnhandledText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RunError& failure) {
    return std::string(failure.KindText()) + ": " + failure.what();
  } catch (const std::exception& failure) {
    return std::string("Error: ") + failure.what();
  }
}

}  // namespace

int RunMirrorPass(Platform& platform, ConsoleLog& log, const CommandLine& commandLine,
                  const PassScope* scope, PassTotals& totals) {
  InventoryFiles inventories;
  RunRecord record;
  record.start = platform.Now();
  RunSequence run(platform, log, commandLine, inventories, record, scope, totals);
  int exitCode = kExitError;
  std::string failure;
  try {
    exitCode = run.Run();
  } catch (...) {
    failure = UnhandledText(std::current_exception());
  }
  CleanUp(platform, inventories);
  if (!failure.empty()) {
    platform.WriteStdout("Unhandled Error : " + failure + std::string(kConsoleLineEnd));
    exitCode = kExitError;
  }
  if (run.Mirrored() && !commandLine.reportFile.empty()) {
    record.exitCode = exitCode;
    record.ending = !failure.empty()          ? "unhandled error"
                    : exitCode == kExitNormal ? "normal end"
                                              : "abnormal end";
    record.error = failure;
    WriteReport(platform, commandLine.reportFile, record);
    SetInterruptReport("", "", 0);
  }
  return exitCode;
}

int RunFernwickTreeSyncer(const std::vector<std::string>& arguments, Platform& platform) {
  ConsoleLog log(platform);
  CommandLine commandLine;
  try {
    if (auto ended = ReadCommandLine(arguments, platform, log, commandLine)) return *ended;
  } catch (...) {
    platform.WriteStdout("Unhandled Error : " + UnhandledText(std::current_exception()) +
                         std::string(kConsoleLineEnd));
    return kExitError;
  }
  PassTotals totals;
  if (commandLine.watch) return WatchAndMirror(platform, log, commandLine, totals);
  return RunMirrorPass(platform, log, commandLine, nullptr, totals);
}

}  // namespace fts
