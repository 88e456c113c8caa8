// The switch matcher, with the program's own option table and with any
// table, and the text helper it cuts switches off with.
//
// Input: a selector byte, then
//   '0': arguments, one per line, given one after the other to the
//        program's own table (and each also to a fresh one);
//   '1': an argument on the first line, then the table's rows, one per
//        line: a kind ('f' a flag, 'v' one value, 'm' many values), '1'
//        when the option was given already, then the switches, each after
//        a '|'.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "run/command_line.h"
#include "text/UnitStrManipulator.h"

namespace {

const fts::TStrManipulatorClass kManipulator;

// The option an argument selects by the rules: a flag's switch exactly, or
// a valued switch, "=" and any value; nullptr for none.
const fts::Option* Selected(const fts::OptionTable& table, std::string_view argument) {
  for (const fts::Option& option : table) {
    if (option.kind == fts::OptionKind::kFlag) continue;
    for (const std::string& name : option.switches) {
      if (argument.starts_with(name) && argument.substr(name.size(), 1) == "=") return &option;
    }
  }
  for (const fts::Option& option : table) {
    if (option.kind != fts::OptionKind::kFlag) continue;
    for (const std::string& name : option.switches) {
      if (!name.empty() && name == argument) return &option;
    }
  }
  return nullptr;
}

bool MayBeGivenAgain(const fts::Option& option) {
  return option.kind == fts::OptionKind::kValues;
}

void CheckMatch(fts::OptionTable& table, std::string_view argument) {
  const fts::Option* selected = Selected(table, argument);
  const std::size_t row = selected == nullptr ? 0 : static_cast<std::size_t>(selected - &table[0]);
  const bool expected = selected != nullptr && (!selected->given || MayBeGivenAgain(*selected));
  const fts::OptionTable before = table;
  const bool matched = fts::MatchSwitch(table, kManipulator, argument);
  FUZZ_CHECK(matched == expected);

  // Options are only ever marked given; values come only with a match.
  FUZZ_CHECK(table.size() == before.size());
  for (std::size_t r = 0; r < table.size(); ++r) {
    FUZZ_CHECK(table[r].switches == before[r].switches);
    FUZZ_CHECK(!before[r].given || table[r].given);
    if (!matched || r != row) FUZZ_CHECK(table[r].values == before[r].values);
  }
  if (matched && table[row].kind != fts::OptionKind::kFlag) {
    FUZZ_CHECK(table[row].values.size() == before[row].values.size() + 1);
    const std::string& value = table[row].values.back();
    FUZZ_CHECK(argument.ends_with("=" + value));
  }
  if (matched) {
    FUZZ_CHECK(table[row].given);
    // Given once only, unless it may be given again.
    FUZZ_CHECK(fts::MatchSwitch(table, kManipulator, argument) == MayBeGivenAgain(table[row]));
  }
}

// --max-delete's value: digits, or digits and "%" up to 100.
void CheckDeletionLimit(std::string_view text) {
  const auto limit = fts::ParseDeletionLimit(text);
  std::string_view digits = text;
  const bool share = digits.ends_with('%');
  if (share) digits.remove_suffix(1);
  const bool allDigits = !digits.empty() && digits.size() <= 18 &&
                         digits.find_first_not_of("0123456789") == std::string_view::npos;
  if (allDigits) {
    const long long value = std::stoll(std::string(digits));
    FUZZ_CHECK(limit.has_value() == (!share || value <= 100));
    if (limit) FUZZ_CHECK(limit->count == value && limit->isShare == share && limit->typed == text);
  } else if (digits.size() <= 18) {
    FUZZ_CHECK(!limit);
  }
}

void CheckProgramTable(std::string_view input) {
  fts::OptionTable table;
  fts::InitOptionTable(table);
  for (std::string_view argument : fts::fuzz::SplitAt(input, '\n')) {
    fts::OptionTable fresh;
    fts::InitOptionTable(fresh);
    const bool dryRunSwitch = argument == "-n" || argument == "--dry-run";
    const bool matched = fts::MatchSwitch(fresh, kManipulator, argument);
    FUZZ_CHECK(!dryRunSwitch || matched);
    // Text after a flag's switch can set further flags, "-n" too.
    if (argument.starts_with("-n") || argument.starts_with("--dry-run")) {
      FUZZ_CHECK(fts::IsDryRun(fresh));
    }
    if (fts::IsDryRun(fresh)) {
      FUZZ_CHECK(argument.find("-n") != std::string_view::npos ||
                 argument.find("--dry-run") != std::string_view::npos);
    }
    CheckMatch(table, argument);
    CheckDeletionLimit(argument);
  }
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
  for (std::string_view line : fts::fuzz::SplitAt(input, '\n')) {
    fts::Option option;
    option.name = "o" + std::to_string(table.size());
    const std::string_view kind = fts::fuzz::TakeBytes(line, 1);
    option.kind = kind == "v"   ? fts::OptionKind::kValue
                  : kind == "m" ? fts::OptionKind::kValues
                                : fts::OptionKind::kFlag;
    option.given = fts::fuzz::TakeBytes(line, 1) == "1";
    if (!line.empty()) {
      line.remove_prefix(line.front() == '|' ? 1 : 0);
      for (std::string_view name : fts::fuzz::SplitAt(line, '|'))
        option.switches.emplace_back(name);
    }
    table.push_back(std::move(option));
    for (const std::string& name : table.back().switches)
      FUZZ_CHECK(kManipulator.TextAfter(name, argument) == TextAfterByHand(name, argument));
  }
  CheckMatch(table, argument);
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
