// The command line: [switch] [mirror from path] [mirror to path], or a help
// argument alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inventory/inventory_files.h"
#include "platform/platform.h"
#include "text/UnitStrManipulator.h"

namespace fts {

using OptionRow = std::vector<std::string>;
using OptionTable = std::vector<OptionRow>;

// What the command line asks of a run.
struct CommandLine {
  OptionTable optionTable;
  bool helpRequested = false;
  TreeRoots roots;
  std::string mirrorFromPath;  // as typed, for display
  std::string mirrorToPath;
};

// One row: the option's name, its value ("False" or "True"), then the
// switches that select it, ended by an empty text or the row's end.
void InitOptionTable(OptionTable& table);

// True when `argument` is exactly one switch of the table; marks its option
// "True". An option may be given once only.
bool MatchSwitch(OptionTable& table, const TStrManipulatorClass& manipulator,
                 std::string_view argument);

bool IsDryRun(const OptionTable& table);

// The root folder for a path as typed: trailing separators cut back to
// exactly one.
std::string RootOf(std::string_view typed);

// Fills the roots, typed paths and help flag from the arguments (program
// name excluded), and the option table's values. False when the run must
// stop as a bad command line; `reason` then may say why in one line for
// standard error.
bool ParseCommandLine(const std::vector<std::string>& arguments, Platform& platform,
                      const TStrManipulatorClass& manipulator, CommandLine& commandLine,
                      std::string& reason);

}  // namespace fts
