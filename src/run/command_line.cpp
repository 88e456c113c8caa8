#include "run/command_line.h"

namespace fts {
namespace {

constexpr std::size_t kFirstSwitch = 2;

// True when one of the two real folders lies strictly inside the other.
bool Nested(const std::string& a, const std::string& b) {
  auto inside = [](const std::string& inner, const std::string& outer) {
    if (inner.size() <= outer.size() || inner.compare(0, outer.size(), outer) != 0) return false;
    return outer.back() == kPathSeparator || inner[outer.size()] == kPathSeparator;
  };
  return inside(a, b) || inside(b, a);
}

}  // namespace

void InitOptionTable(OptionTable& table) {
  table.clear();
  table.push_back({"dryrun", "False", "--dry-run", "-n", ""});
}

bool MatchSwitch(OptionTable& table, const TStrManipulatorClass& manipulator,
                 std::string_view argument) {
  // An argument that is exactly a switch selects the first row that has it,
  // also where a shorter switch of the table begins it.
  for (auto& row : table) {
    for (std::size_t i = kFirstSwitch; i < row.size() && !row[i].empty(); ++i) {
      if (row[i] != argument) continue;
      if (row[1] == "True") return false;
      row[1] = "True";
      return true;
    }
  }
  // Any other argument is no switch. Text after a switch that begins it can
  // only set further options.
  for (auto& row : table) {
    for (std::size_t i = kFirstSwitch; i < row.size(); ++i) {
      const std::string& option = row[i];
      if (option.empty()) break;
      if (!argument.starts_with(option)) continue;
      if (row[1] == "True") return false;
      row[1] = "True";
      MatchSwitch(table, manipulator, manipulator.TextAfter(option, argument));
    }
  }
  return false;
}

bool IsDryRun(const OptionTable& table) {
  for (const auto& row : table) {
    if (row.size() > 1 && row[0] == "dryrun" && row[1] == "True") return true;
  }
  return false;
}

std::string RootOf(std::string_view typed) {
  std::string root(typed);
  while (root.size() > 1 && root.back() == kPathSeparator &&
         root[root.size() - 2] == kPathSeparator) {
    root.pop_back();
  }
  if (root.empty() || root.back() != kPathSeparator) root += kPathSeparator;
  return root;
}

bool ParseCommandLine(const std::vector<std::string>& rawArguments, Platform& platform,
                      const TStrManipulatorClass& manipulator, CommandLine& parsed,
                      std::string& reason) {
  // An empty argument is not counted, as an empty pair of quotes is not.
  std::vector<std::string> arguments;
  for (const auto& argument : rawArguments) {
    if (!argument.empty()) arguments.push_back(argument);
  }
  parsed.roots.fromRoots.clear();
  parsed.roots.toRoots.clear();

  std::size_t first = 0;
  switch (arguments.size()) {
    case 1:
      for (const char* help : {"/?", "-help", "--help"}) {
        if (arguments[0] == help) {
          parsed.helpRequested = true;
          return true;
        }
      }
      return false;
    case 2:
      break;
    case 3:
      if (!MatchSwitch(parsed.optionTable, manipulator, arguments[0])) return false;
      first = 1;
      break;
    default:
      return false;
  }

  const std::string& from = arguments[first];
  const std::string fromRoot = RootOf(from);
  if (!platform.IsDirectory(fromRoot)) return false;
  parsed.roots.fromRoots = {fromRoot};
  parsed.mirrorFromPath = from;

  const std::string& to = arguments[first + 1];
  const std::string toRoot = RootOf(to);
  if (!platform.IsDirectory(toRoot)) return false;
  parsed.roots.toRoots = {toRoot};
  parsed.mirrorToPath = to;

  const auto realFrom = platform.RealPath(fromRoot);
  const auto realTo = platform.RealPath(toRoot);
  if (!realFrom || !realTo) {
    reason = "the real location of a folder cannot be determined";
    return false;
  }
  // Where names ignore letter case, so does the comparison.
  if (Nested(platform.FoldPathCase(*realFrom), platform.FoldPathCase(*realTo))) {
    reason = "the source and destination folders lie inside one another";
    return false;
  }
  return true;
}

}  // namespace fts
