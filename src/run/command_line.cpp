#include "run/command_line.h"

#include <charconv>

#include "platform/interrupt_cleanup.h"

namespace fts {
namespace {

constexpr int kMostJobs = kMostActionWorkers;

// True when the real folder `inner` is `outer` or lies inside it.
bool AtOrInside(const std::string& inner, const std::string& outer) {
  if (inner.size() < outer.size() || inner.compare(0, outer.size(), outer) != 0) return false;
  return inner.size() == outer.size() || outer.back() == kPathSeparator ||
         inner[outer.size()] == kPathSeparator;
}

// True when one of the two real folders lies strictly inside the other.
bool Nested(const std::string& a, const std::string& b) {
  return a != b && (AtOrInside(a, b) || AtOrInside(b, a));
}

std::optional<std::int64_t> ParseCount(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0 ||
      text[0] == '+' || text[0] == '-') {
    return std::nullopt;
  }
  return value;
}

// The whole contents of a file; nullopt with the failure when it cannot be
// read.
Result<std::string> ReadWholeFile(Platform& platform, const std::string& path) {
  auto opened = platform.OpenFile(path, OpenMode::kRead);
  if (!opened) return opened.status();
  std::string text;
  char buffer[64 << 10];
  for (;;) {
    auto got = (*opened)->ReadAt(static_cast<std::int64_t>(text.size()), buffer, sizeof buffer);
    if (!got) return got.status();
    text.append(buffer, *got);
    if (*got < sizeof buffer) break;
  }
  if (Status closed = (*opened)->Close(); !closed) return closed;
  return text;
}

const std::vector<std::string>& ValuesOf(const OptionTable& table, std::string_view name) {
  static const std::vector<std::string> kNone;
  const Option* option = FindOption(table, name);
  return option == nullptr ? kNone : option->values;
}

// --links, --preserve and --compare.
bool TakeCopyRules(const OptionTable& table, CopyRules& rules, std::string& reason) {
  for (const std::string& links : ValuesOf(table, "links")) {
    const auto mode = ParseSourceLinks(links);
    if (!mode) {
      reason = "--links takes follow, keep or skip: " + links;
      return false;
    }
    if (*mode == SourceLinks::kKeep && !kOffersPosixAttributes) {
      reason = "--links=keep is not offered on this system";
      return false;
    }
    rules.links = *mode;
  }
  for (const std::string& preserve : ValuesOf(table, "preserve")) {
    if (!ParsePreserveList(preserve, rules)) {
      reason = "--preserve takes a list of owner, xattrs, acls and hardlinks: " + preserve;
      return false;
    }
    if (!kOffersPosixAttributes) {
      reason = "--preserve is not offered on this system: " + preserve;
      return false;
    }
  }
  for (const std::string& compare : ValuesOf(table, "compare")) {
    const auto items = ParseCompareList(compare);
    if (!items) {
      reason = "--compare takes a list of time, size, content and attributes: " + compare;
      return false;
    }
    rules.compare = *items;
  }
  return true;
}

// --watch, --watch-delay and --rescan.
bool TakeWatchSettings(const OptionTable& table, CommandLine& parsed, std::string& reason) {
  const Option* watch = FindOption(table, "watch");
  parsed.watch = watch != nullptr && watch->given;
  for (const std::string& delay : ValuesOf(table, "watchdelay")) {
    const auto duration = ParseWatchDuration(delay, true);
    if (!duration) {
      reason = "--watch-delay takes a number of seconds: " + delay;
      return false;
    }
    parsed.watchDelay = *duration;
  }
  for (const std::string& rescan : ValuesOf(table, "rescan")) {
    const auto duration = ParseWatchDuration(rescan, false);
    if (!duration || *duration <= std::chrono::milliseconds(0)) {
      reason = "--rescan takes a duration such as 90s, 30m, 6h or 1d: " + rescan;
      return false;
    }
    parsed.rescan = *duration;
  }
  const bool watchSetting =
      !ValuesOf(table, "watchdelay").empty() || !ValuesOf(table, "rescan").empty();
  if (watchSetting && !parsed.watch) {
    reason = "--watch-delay and --rescan go with --watch";
    return false;
  }
  if (parsed.watch && parsed.dryRun) {
    reason = "--watch cannot be combined with --dry-run";
    return false;
  }
  return true;
}

// --names.
bool TakeNameMapping(const OptionTable& table, NameMapping& mapping, std::string& reason) {
  for (const std::string& names : ValuesOf(table, "names")) {
    if (!ParseNameMapping(names, mapping)) {
      reason = "--names takes portable: " + names;
      return false;
    }
  }
  return true;
}

// Checks the values of the valued switches and keeps them in `parsed`.
bool TakeSwitchValues(Platform& platform, CommandLine& parsed, std::string& reason) {
  const OptionTable& table = parsed.optionTable;
  parsed.dryRun = IsDryRun(table);
  for (const std::string& limit : ValuesOf(table, "maxdelete")) {
    parsed.deletionLimit = ParseDeletionLimit(limit);
    if (!parsed.deletionLimit) {
      reason = "--max-delete takes a count or a share from 0% to 100%: " + limit;
      return false;
    }
  }
  ExclusionRules::Options ruleOptions;
  ruleOptions.backslashSeparates = kPathSeparator == '\\';
  if (kNamesIgnoreCase) {
    ruleOptions.foldCase = [&platform](const std::string& text) {
      return platform.FoldPathCase(text);
    };
  }
  parsed.exclusions = ExclusionRules(ruleOptions);
  for (const std::string& pattern : ValuesOf(table, "exclude")) {
    if (!parsed.exclusions.Add(pattern)) {
      reason = "--exclude takes a pattern that can match an entry: " + pattern;
      return false;
    }
  }
  for (const std::string& file : ValuesOf(table, "excludefrom")) {
    auto text = ReadWholeFile(platform, file);
    if (!text) {
      reason = "--exclude-from: " + text.status().Message();
      return false;
    }
    for (const std::string& pattern : PatternsOfExcludeFile(*text)) {
      if (!parsed.exclusions.Add(pattern)) {
        reason = "--exclude-from: " + file + " holds a pattern that can match no entry: " + pattern;
        return false;
      }
    }
  }
  for (const std::string& jobs : ValuesOf(table, "jobs")) {
    if (jobs == "auto") {
      parsed.jobs = 0;
      continue;
    }
    const auto count = ParseCount(jobs);
    if (!count || *count < 1 || *count > kMostJobs) {
      reason = "--jobs takes auto or a count from 1 to " + std::to_string(kMostJobs) + ": " + jobs;
      return false;
    }
    parsed.jobs = static_cast<int>(*count);
  }
  const Option* stats = FindOption(table, "stats");
  parsed.stats = stats != nullptr && stats->given;
  const Option* progress = FindOption(table, "progress");
  parsed.progress = progress != nullptr && progress->given;
  if (!TakeCopyRules(table, parsed.copyRules, reason)) return false;
  if (!TakeNameMapping(table, parsed.names, reason)) return false;
  if (!TakeWatchSettings(table, parsed, reason)) return false;
  for (const std::string& report : ValuesOf(table, "report")) {
    if (report.back() == kPathSeparator || platform.IsDirectory(report)) {
      reason = "--report takes the name of a file: " + report;
      return false;
    }
    parsed.reportFile = report;
  }
  return true;
}

// The backup folder must exist and lie outside both trees.
bool CheckBackupDir(Platform& platform, CommandLine& parsed, const std::string& realFrom,
                    const std::string& realTo, std::string& reason) {
  for (const std::string& backup : ValuesOf(parsed.optionTable, "backupdir")) {
    const std::string root = RootOf(backup);
    const auto real = platform.IsDirectory(root) ? platform.RealPath(root) : std::nullopt;
    if (!real) {
      reason = "--backup-dir takes an existing folder: " + backup;
      return false;
    }
    const std::string folded = platform.FoldPathCase(*real);
    for (const std::string& tree : {realFrom, realTo}) {
      if (AtOrInside(folded, tree) || AtOrInside(tree, folded)) {
        reason = "--backup-dir takes a folder outside the source and the destination: " + backup;
        return false;
      }
    }
    parsed.backupDir = backup;
  }
  return true;
}

}  // namespace

void InitOptionTable(OptionTable& table) {
  table = {
      {"dryrun", OptionKind::kFlag, {"--dry-run", "-n"}, false, {}},
      {"maxdelete", OptionKind::kValue, {"--max-delete"}, false, {}},
      {"exclude", OptionKind::kValues, {"--exclude"}, false, {}},
      {"excludefrom", OptionKind::kValue, {"--exclude-from"}, false, {}},
      {"backupdir", OptionKind::kValue, {"--backup-dir"}, false, {}},
      {"jobs", OptionKind::kValue, {"--jobs"}, false, {}},
      {"stats", OptionKind::kFlag, {"--stats"}, false, {}},
      {"report", OptionKind::kValue, {"--report"}, false, {}},
      {"progress", OptionKind::kFlag, {"--progress"}, false, {}},
      {"links", OptionKind::kValue, {"--links"}, false, {}},
      {"preserve", OptionKind::kValue, {"--preserve"}, false, {}},
      {"compare", OptionKind::kValue, {"--compare"}, false, {}},
      {"names", OptionKind::kValue, {"--names"}, false, {}},
      {"watch", OptionKind::kFlag, {"--watch"}, false, {}},
      {"watchdelay", OptionKind::kValue, {"--watch-delay"}, false, {}},
      {"rescan", OptionKind::kValue, {"--rescan"}, false, {}},
  };
}

namespace {

// The flags an argument selects: exactly one flag's switch, or a switch that
// begins it, whose rest can only select further flags.
bool MatchFlag(OptionTable& table, const TStrManipulatorClass& manipulator,
               std::string_view argument) {
  // An argument that is exactly a flag's switch selects the first row that
  // has it, also where a shorter switch of the table begins it.
  for (Option& option : table) {
    if (option.kind != OptionKind::kFlag) continue;
    for (const std::string& name : option.switches) {
      if (name.empty() || name != argument) continue;
      if (option.given) return false;
      option.given = true;
      return true;
    }
  }
  // Any other argument is no switch.
  for (Option& option : table) {
    if (option.kind != OptionKind::kFlag) continue;
    for (const std::string& name : option.switches) {
      if (name.empty()) break;
      if (!argument.starts_with(name)) continue;
      if (option.given) return false;
      option.given = true;
      MatchFlag(table, manipulator, manipulator.TextAfter(name, argument));
    }
  }
  return false;
}

}  // namespace

bool MatchSwitch(OptionTable& table, const TStrManipulatorClass& manipulator,
                 std::string_view argument) {
  // A valued switch: the switch, "=", and the value.
  for (Option& option : table) {
    if (option.kind == OptionKind::kFlag) continue;
    for (const std::string& name : option.switches) {
      if (!argument.starts_with(name) || argument.substr(name.size(), 1) != "=") continue;
      if (option.given && option.kind == OptionKind::kValue) return false;
      option.given = true;
      option.values.emplace_back(argument.substr(name.size() + 1));
      return true;
    }
  }
  return MatchFlag(table, manipulator, argument);
}

bool IsDryRun(const OptionTable& table) {
  const Option* dryRun = FindOption(table, "dryrun");
  return dryRun != nullptr && dryRun->given;
}

const Option* FindOption(const OptionTable& table, std::string_view name) {
  for (const Option& option : table) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

std::optional<DeletionLimit> ParseDeletionLimit(std::string_view text) {
  DeletionLimit limit;
  limit.typed = std::string(text);
  limit.isShare = text.ends_with('%');
  if (limit.isShare) text.remove_suffix(1);
  const auto count = ParseCount(text);
  if (!count || (limit.isShare && *count > 100)) return std::nullopt;
  limit.count = *count;
  return limit;
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

  if (arguments.size() == 1) {
    for (const char* help : {"/?", "-help", "--help"}) {
      if (arguments[0] == help) {
        parsed.helpRequested = true;
        return true;
      }
    }
    parsed.versionRequested = arguments[0] == "--version";
    return parsed.versionRequested;
  }
  if (arguments.size() < 2) return false;
  // Every argument before the two folders is a switch of the table.
  const std::size_t first = arguments.size() - 2;
  for (std::size_t i = 0; i < first; ++i) {
    if (!MatchSwitch(parsed.optionTable, manipulator, arguments[i])) return false;
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
  const std::string foldedFrom = platform.FoldPathCase(*realFrom);
  const std::string foldedTo = platform.FoldPathCase(*realTo);
  if (Nested(foldedFrom, foldedTo)) {
    reason = "the source and destination folders lie inside one another";
    return false;
  }
  return TakeSwitchValues(platform, parsed, reason) &&
         CheckBackupDir(platform, parsed, foldedFrom, foldedTo, reason);
}

std::optional<std::chrono::milliseconds> ParseWatchDuration(std::string_view text,
                                                            bool secondsOnly) {
  // Digits, an optional fraction of up to three digits, then the unit.
  std::size_t at = 0;
  std::int64_t whole = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && whole < 100000000) {
    whole = whole * 10 + (text[at++] - '0');
  }
  if (at == 0) return std::nullopt;
  std::int64_t thousandths = 0;
  if (at < text.size() && text[at] == '.') {
    std::size_t digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      if (digits < 3) thousandths = thousandths * 10 + (text[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 3; ++digits)
      thousandths *= 10;
  }
  const std::string_view unit = text.substr(at);
  std::int64_t seconds = 1;
  if (secondsOnly ? !unit.empty() : unit != "s") {
    if (secondsOnly || unit.size() != 1) return std::nullopt;
    if (unit == "m")
      seconds = 60;
    else if (unit == "h")
      seconds = 3600;
    else if (unit == "d")
      seconds = 86400;
    else
      return std::nullopt;
  }
  if (whole >= 100000000) return std::nullopt;
  return std::chrono::milliseconds((whole * 1000 + thousandths) * seconds);
}

}  // namespace fts
