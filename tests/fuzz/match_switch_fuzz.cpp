// The switch matcher, with the program's own option table and with any
// table, and the text helper it cuts switches off with.
//
// Input: a selector byte, then
//   '0': arguments, one per line, given one after the other to the
//        program's own table (and each also to a fresh one);
//   '1': an argument on the first line, then the table's rows, one per
//        line, with their texts separated by '|'.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "run/command_line.h"
#include "text/UnitStrManipulator.h"

namespace {

const fts::TStrManipulatorClass kManipulator;

bool IsDryRunSwitch(std::string_view argument) {
  return argument == "-n" || argument == "--dry-run";
}
bool StartsWithDryRunSwitch(std::string_view argument) {
  return argument.starts_with("-n") || argument.starts_with("--dry-run");
}

void CheckProgramTable(std::string_view input) {
  fts::OptionTable table;
  fts::InitOptionTable(table);
  for (std::string_view argument : fts::fuzz::SplitAt(input, '\n')) {
    fts::OptionTable fresh;
    fts::InitOptionTable(fresh);
    FUZZ_CHECK(fts::MatchSwitch(fresh, kManipulator, argument) == IsDryRunSwitch(argument));
    FUZZ_CHECK(fts::IsDryRun(fresh) == StartsWithDryRunSwitch(argument));

    // Given before, the option is refused whatever the argument.
    const bool before = fts::IsDryRun(table);
    FUZZ_CHECK(fts::MatchSwitch(table, kManipulator, argument) ==
               (!before && IsDryRunSwitch(argument)));
    FUZZ_CHECK(fts::IsDryRun(table) == (before || StartsWithDryRunSwitch(argument)));
    FUZZ_CHECK(table.size() == 1 && table[0].size() == 5);
  }
}

// The switches of a row: its texts from the third on, up to an empty one.
std::vector<std::string> SwitchesOf(const fts::OptionRow& row) {
  std::vector<std::string> switches;
  for (std::size_t i = 2; i < row.size() && !row[i].empty(); ++i)
    switches.push_back(row[i]);
  return switches;
}

std::string TextAfterByHand(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return std::string(text);
  for (std::size_t at = 0; at + pattern.size() <= text.size(); ++at) {
    if (text.substr(at, pattern.size()) == pattern)
      return std::string(text.substr(at + pattern.size()));
  }
  return std::string(text);
}

void CheckAnyTable(std::string_view input) {
  const std::string_view argument = fts::fuzz::TakeUntil(input, '\n');
  fts::OptionTable table;
  if (!input.empty()) {
    for (std::string_view line : fts::fuzz::SplitAt(input, '\n')) {
      fts::OptionRow row;
      for (std::string_view text : fts::fuzz::SplitAt(line, '|'))
        row.emplace_back(text);
      // A line of one text stands for a row of none, so that short rows
      // come up too.
      if (row.size() == 1 && row[0].empty()) row.clear();
      table.push_back(row);
    }
  }
  for (const fts::OptionRow& row : table) {
    for (const std::string& text : row)
      FUZZ_CHECK(kManipulator.TextAfter(text, argument) == TextAfterByHand(text, argument));
  }

  // What the table promises: an argument that is exactly a switch selects
  // the first row that has it, unless that row's option was given already;
  // any other argument is no switch.
  const fts::OptionRow* exact = nullptr;
  bool anyPrefix = false;
  for (const fts::OptionRow& row : table) {
    for (const std::string& option : SwitchesOf(row)) {
      if (option == argument && exact == nullptr) exact = &row;
      if (argument.starts_with(option)) anyPrefix = true;
    }
  }
  const bool expected = exact != nullptr && (*exact)[1] != "True";
  const std::size_t exactRow = exact == nullptr ? 0 : static_cast<std::size_t>(exact - &table[0]);

  const fts::OptionTable before = table;
  const bool matched = fts::MatchSwitch(table, kManipulator, argument);
  FUZZ_CHECK(matched == expected);

  // Only the options' values change, and only to "True"; nothing changes
  // when no switch begins the argument.
  FUZZ_CHECK(table.size() == before.size());
  for (std::size_t r = 0; r < table.size(); ++r) {
    FUZZ_CHECK(table[r].size() == before[r].size());
    for (std::size_t i = 0; i < table[r].size(); ++i) {
      if (i != 1 || !anyPrefix) FUZZ_CHECK(table[r][i] == before[r][i]);
      if (table[r][i] != before[r][i]) FUZZ_CHECK(table[r][i] == "True");
    }
  }
  const bool dryRun = fts::IsDryRun(table);
  bool dryRunByHand = false;
  for (const fts::OptionRow& row : table)
    dryRunByHand = dryRunByHand || (row.size() > 1 && row[0] == "dryrun" && row[1] == "True");
  FUZZ_CHECK(dryRun == dryRunByHand);

  if (matched) {
    // The option is given once only.
    FUZZ_CHECK(table[exactRow][1] == "True");
    FUZZ_CHECK(!fts::MatchSwitch(table, kManipulator, argument));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fts::fuzz::AsText(data, size);
  if (fts::fuzz::TakeSelector(input, 2) == 0) {
    CheckProgramTable(input);
  } else {
    CheckAnyTable(input);
  }
  return 0;
}
