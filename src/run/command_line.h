// The command line: a help argument or --version alone, or switches, then
// [mirror from path] [mirror to path].
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/copy_rules.h"
#include "inventory/exclusion_rules.h"
#include "inventory/inventory_files.h"
#include "inventory/portable_names.h"
#include "platform/platform.h"
#include "text/UnitStrManipulator.h"

namespace fts {

enum class OptionKind {
  kFlag,    // given or not: "-n"
  kValue,   // one value after "=": "--max-delete=5%"
  kValues,  // a value each time it is given: "--exclude=*.tmp"
};

// One row of the option table: the option's name, its kind, the switches
// that select it, and what the command line gave it.
struct Option {
  std::string name;
  OptionKind kind = OptionKind::kFlag;
  std::vector<std::string> switches;
  bool given = false;
  std::vector<std::string> values;  // as typed after "=", in order
};
using OptionTable = std::vector<Option>;

void InitOptionTable(OptionTable& table);

// True when `argument` is exactly one switch of the table, a flag's or a
// valued one's followed by "=" and the value; marks its option given (and
// keeps the value). An option may be given once only, "--exclude" again
// and again. Text after a flag's switch can only set further flags.
bool MatchSwitch(OptionTable& table, const TStrManipulatorClass& manipulator,
                 std::string_view argument);

bool IsDryRun(const OptionTable& table);
const Option* FindOption(const OptionTable& table, std::string_view name);

// The most destination entries a run may delete: a count, or a share of all
// destination entries.
struct DeletionLimit {
  std::int64_t count = 0;
  bool isShare = false;  // then `count` is the share in per cent
  std::string typed;     // as the user typed it, for the log
};

// The root folder for a path as typed: trailing separators cut back to
// exactly one.
std::string RootOf(std::string_view typed);

// What the command line asks of a run.
struct CommandLine {
  OptionTable optionTable;
  bool helpRequested = false;
  bool versionRequested = false;
  TreeRoots roots;
  std::string mirrorFromPath;  // as typed, for display
  std::string mirrorToPath;

  // From the switches, checked.
  bool dryRun = false;
  std::optional<DeletionLimit> deletionLimit;
  ExclusionRules exclusions;
  std::string backupDir;  // as typed; empty without one
  int jobs = 0;           // 0: auto, each step finds its count
  bool stats = false;
  std::string reportFile;
  bool progress = false;
  CopyRules copyRules;
  NameMapping names = NameMapping::kAsIs;
  // The continuous mode: how long the changes must be quiet before a pass,
  // and how often the whole trees are compared.
  bool watch = false;
  std::chrono::milliseconds watchDelay{2000};
  std::chrono::milliseconds rescan{24LL * 3600 * 1000};
};

// Fills the roots, typed paths, help and version flags, the option table's
// values and what the switches ask, from the arguments (program name
// excluded). False when the run must stop as a bad command line; `reason`
// then may say why in one line for standard error.
bool ParseCommandLine(const std::vector<std::string>& arguments, Platform& platform,
                      const TStrManipulatorClass& manipulator, CommandLine& commandLine,
                      std::string& reason);

// The value of --watch-delay (`secondsOnly`: "2", "0.5") or of --rescan
// ("90s", "30m", "6h", "1d"); nullopt for any other text.
std::optional<std::chrono::milliseconds> ParseWatchDuration(std::string_view text,
                                                            bool secondsOnly);

// The text of --max-delete's value: "N" or "P%" (P from 0 to 100).
std::optional<DeletionLimit> ParseDeletionLimit(std::string_view text);

}  // namespace fts
