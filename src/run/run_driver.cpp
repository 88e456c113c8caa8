#include "run/run_driver.h"

#include <array>
#include <exception>

#include "inventory/inventory_writer.h"
#include "mirror/difference_marking.h"
#include "mirror/line_index.h"
#include "mirror/mirror_actions.h"
#include "platform/interrupt_cleanup.h"
#include "run/command_line.h"
#include "run/run_context.h"
#include "run/run_errors.h"

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

// Steps 1 to 13 of a run; returns the exit code.
int RunSequence(const std::vector<std::string>& arguments, RunContext& run) {
  RunState& state = run.state;
  ConsoleLog& log = run.log;

  InitOptionTable(state.optionTable);
  TStrManipulatorClass manipulator;
  state.helpRequested = false;

  std::string reason;
  if (!ParseCommandLine(arguments, run.platform, manipulator, state, reason)) {
    log.WritePlain("Invalid Command Line Argument.");
    if (!reason.empty())
      run.platform.WriteStderr("FernwickTreeSyncer: " + reason + std::string(kConsoleLineEnd));
    return kExitError;
  }
  if (state.helpRequested) {
    for (auto line : kUsage)
      log.WritePlain(line);
    log.WritePlain("");
    return kExitNormal;
  }

  state.dryRun = IsDryRun(state.optionTable);
  log.SetDryRun(state.dryRun);
  if (state.dryRun) LogDryRunNotice(log);

  log.WriteLog(kStartBanner);
  log.WriteLog("MirrorFromPath : " + state.mirrorFromPath);
  log.WriteLog("MirrorToPath   : " + state.mirrorToPath);

  InventoryListing inventories(run);
  log.WriteLog("Get MirrorFromPath Information...");
  if (!inventories.WriteSource()) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitNoInventoryName;
  }
  log.WriteLog("Get MirrorToPath Information...");
  if (!inventories.WriteDestination()) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitNoInventoryName;
  }

  BuildToLineIndex(run);
  log.WriteLog("Detect The Difference In These Folders...");
  MarkIdenticalRecords(run);
  RunMirrorActions(run);

  // A folder that could not be listed or an action that failed leaves the
  // destination short of a mirror: the run must not end as a success.
  if (state.listingFailed || state.actionFailed) {
    log.WriteLog(kAbnormalEndBanner);
    return kExitActionsFailed;
  }
  log.WriteLog(kNormalEndBanner);
  if (state.dryRun) LogDryRunNotice(log);
  return kExitNormal;
}

// Step 14: deletes the inventory files that this run created, and only those.
void CleanUp(Platform& platform, RunState& state) {
  state.toLineIndex = {};
  for (Side side : {Side::kSource, Side::kDestination}) {
    Inventory& inventory = state.InventoryOf(side);
    if (inventory.fileName.empty() || !platform.FileExists(inventory.fileName)) continue;
    Status status = platform.DeleteFile(inventory.fileName);
    if (!status) {
      platform.WriteStderr("FernwickTreeSyncer: cannot delete " + inventory.fileName + ": " +
                           status.message + std::string(kConsoleLineEnd));
    }
    SetInterruptCleanupPath(
        side == Side::kSource ? CleanupSlot::kSourceInventory : CleanupSlot::kDestinationInventory,
        "");
  }
}

}  // namespace

int RunFernwickTreeSyncer(const std::vector<std::string>& arguments, Platform& platform) {
  RunState state;
  ConsoleLog log(platform);
  RunContext run{platform, log, state};
  int exitCode = kExitError;
  std::string failure;
  try {
    exitCode = RunSequence(arguments, run);
  } catch (const RunError& error) {
    failure = error.Kind() + ": " + error.what();
  } catch (const std::exception& error) {
    failure = std::string("Error: ") + error.what();
  }
  CleanUp(platform, state);
  if (!failure.empty()) {
    platform.WriteStdout("Unhandled Error : " + failure + std::string(kConsoleLineEnd));
    exitCode = kExitError;
  }
  return exitCode;
}

}  // namespace fts
