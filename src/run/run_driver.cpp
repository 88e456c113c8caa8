#include "run/run_driver.h"

#include <array>
#include <exception>

#include "inventory/inventory_listing.h"
#include "mirror/difference_marking.h"
#include "mirror/line_index.h"
#include "mirror/mirror_actions.h"
#include "platform/interrupt_cleanup.h"
#include "platform/status.h"
#include "run/command_line.h"
#include "run/console_log.h"

namespace fts {
namespace {

constexpr std::array<std::string_view, 5> kUsage = {
    "",
    "Usage: FernwickTreeSyncer[.exe] [switch] [mirror from path] [mirror to path]",
    "switch:",
    "  -n        : show what would have been transferred",
    "  --dry-run : show what would have been transferred",
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

// Steps 1 to 13 of a run; returns the exit code. `inventories` receives the
// names of the inventory files this run creates.
int RunSequence(const std::vector<std::string>& arguments, Platform& platform, ConsoleLog& log,
                InventoryFiles& inventories) {
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

  const bool dryRun = IsDryRun(commandLine.optionTable);
  log.SetDryRun(dryRun);
  if (dryRun) LogDryRunNotice(log);

  log.WriteLog(kStartBanner);
  log.WriteLog("MirrorFromPath : " + commandLine.mirrorFromPath);
  log.WriteLog("MirrorToPath   : " + commandLine.mirrorToPath);

  const TreeRoots& roots = commandLine.roots;
  const ExclusionRules exclusions;
  InventoryListing listing(platform, log, roots, exclusions, inventories);
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

  std::vector<std::int64_t> toLineIndex = BuildToLineIndex(platform, inventories.destination.name);
  log.WriteLog("Detect The Difference In These Folders...");
  MarkIdenticalRecords(platform, inventories, std::move(toLineIndex),
                       {listed.unlistedSourceFolders, listed.destinationFoldersKept});
  const ActionCounts done = RunMirrorActions(platform, log, inventories, roots.toRoots, dryRun);

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
