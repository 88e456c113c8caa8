#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inventory/pass_scope.h"
#include "platform/platform.h"
#include "run/command_line.h"
#include "run/console_log.h"

namespace fts {

inline constexpr int kExitNormal = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitNoInventoryName = 2;
inline constexpr int kExitActionsFailed = 3;
inline constexpr int kExitDeletionLimit = 4;

// One whole run: `arguments` are the command-line arguments after the
// program name. Returns the process exit code.
int RunFernwickTreeSyncer(const std::vector<std::string>& arguments, Platform& platform);

// What the passes of a continuous mirror carry from one to the next.
struct PassTotals {
  // The destination's entries as the last whole listing counted them, kept
  // up to date by the passes since: what a share of --max-delete is of.
  std::optional<std::int64_t> destinationEntries;
};

// One run of the mirror, from the Start banner to the report, over the
// whole trees (`scope` null or whole) or a pass's scope. Returns the exit
// code the run would have.
int RunMirrorPass(Platform& platform, ConsoleLog& log, const CommandLine& commandLine,
                  const PassScope* scope, PassTotals& totals);

}  // namespace fts
