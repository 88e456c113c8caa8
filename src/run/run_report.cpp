#include "run/run_report.h"

#include <cstdio>

#include "run/version.h"

namespace fts {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

// ISO 8601 local time: "2026-12-08T02:00:03".
std::string IsoTime(const LocalDateTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// The length of the valid UTF-8 character at `text[at]`, 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(at);
  std::size_t length = first < 0x80                    ? 1
                       : first >= 0xC2 && first < 0xE0 ? 2
                       : first >= 0xE0 && first < 0xF0 ? 3
                       : first >= 0xF0 && first < 0xF5 ? 4
                                                       : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// A JSON string. Bytes that are no UTF-8 (a name on a system that allows
// them) are written as the characters of the same numbers.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8Length(text, at);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && length > 0) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    }
    ++at;
  }
  return out + "\"";
}

}  // namespace

std::uint64_t RunFigures::CopyRate() const {
  return actionSeconds > 0
             ? static_cast<std::uint64_t>(static_cast<double>(actions.bytesCopied) / actionSeconds)
             : 0;
}

std::vector<std::string> StatsLines(const RunFigures& f) {
  const ActionCounts::StepWorkers& w = f.actions.workers;
  const std::pair<const char*, std::string> kLines[] = {
      {"Source Files", std::to_string(f.sourceFiles)},
      {"Source Folders", std::to_string(f.sourceFolders)},
      {"Destination Files", std::to_string(f.destinationFiles)},
      {"Destination Folders", std::to_string(f.destinationFolders)},
      {"Identical Entries", std::to_string(f.identicalEntries)},
      {"Files Deleted", std::to_string(f.actions.filesDeleted)},
      {"Folders Removed", std::to_string(f.actions.foldersRemoved)},
      {"Folders Made", std::to_string(f.actions.foldersMade)},
      {"Files Copied", std::to_string(f.actions.filesCopied)},
      {"Actions Failed", std::to_string(f.actions.failed)},
      {"Entries Excluded", std::to_string(f.excludedEntries)},
      {"Bytes Copied", std::to_string(f.actions.bytesCopied)},
      {"Listing Seconds", Seconds(f.listingSeconds)},
      {"Comparison Seconds", Seconds(f.comparisonSeconds)},
      {"Action Seconds", Seconds(f.actionSeconds)},
      {"Copy Rate Bytes/s", std::to_string(f.CopyRate())},
      {"Workers", "Delete File " + std::to_string(w.deletions) + ", Remove Directory " +
                      std::to_string(w.removals) + ", Make Directory " + std::to_string(w.folders) +
                      ", Copy File " + std::to_string(w.copies)},
  };
  std::vector<std::string> lines;
  auto add = [&lines](std::string line, const std::string& value) {
    line.resize(19, ' ');  // the labels line up, as the log's own do
    lines.push_back(line + " : " + value);
  };
  for (const auto& [label, value] : kLines)
    add(label, value);
  if (f.attributesWeighed) add("Attributes Set", std::to_string(f.actions.attributesSet));
  return lines;
}

void RunRecord::AddFailure(const ActionRecord& action, const std::string& cause) {
  if (failures.size() < kMostFailures) {
    failures.emplace_back(action, cause);
  } else {
    ++failuresLeftOut;
  }
}

std::string ReportJson(const RunRecord& r, std::size_t* exitCodeAt) {
  const RunFigures& f = r.figures;
  const ActionCounts::StepWorkers& w = f.actions.workers;
  std::string json = "{\n";
  auto field = [&](const char* name, const std::string& value, bool last = false) {
    json += "  \"" + std::string(name) + "\": " + value + (last ? "\n" : ",\n");
  };
  field("program", Quoted("FernwickTreeSyncer"));
  field("version", Quoted(std::string(kVersion)));
  field("source", Quoted(r.source));
  field("destination", Quoted(r.destination));
  field("dryRun", r.dryRun ? "true" : "false");
  field("start", Quoted(IsoTime(r.start)));
  field("end", Quoted(IsoTime(r.end)));
  json += "  \"exitCode\": ";
  if (exitCodeAt != nullptr) *exitCodeAt = json.size();
  json += std::to_string(r.exitCode) + ",\n";
  field("ending", Quoted(r.ending));
  if (!r.error.empty()) field("error", Quoted(r.error));
  json += "  \"figures\": {\n";
  const std::pair<const char*, std::string> kFigures[] = {
      {"sourceFiles", std::to_string(f.sourceFiles)},
      {"sourceFolders", std::to_string(f.sourceFolders)},
      {"destinationFiles", std::to_string(f.destinationFiles)},
      {"destinationFolders", std::to_string(f.destinationFolders)},
      {"identicalEntries", std::to_string(f.identicalEntries)},
      {"filesDeleted", std::to_string(f.actions.filesDeleted)},
      {"foldersRemoved", std::to_string(f.actions.foldersRemoved)},
      {"foldersMade", std::to_string(f.actions.foldersMade)},
      {"filesCopied", std::to_string(f.actions.filesCopied)},
      {"actionsFailed", std::to_string(f.actions.failed)},
      {"entriesExcluded", std::to_string(f.excludedEntries)},
      {"bytesCopied", std::to_string(f.actions.bytesCopied)},
      {"listingSeconds", Seconds(f.listingSeconds)},
      {"comparisonSeconds", Seconds(f.comparisonSeconds)},
      {"actionSeconds", Seconds(f.actionSeconds)},
      {"copyRateBytesPerSecond", std::to_string(f.CopyRate())},
      {"attributesSet", std::to_string(f.actions.attributesSet)},
      {"workers", "{\"deleteFile\": " + std::to_string(w.deletions) +
                      ", \"removeDirectory\": " + std::to_string(w.removals) +
                      ", \"makeDirectory\": " + std::to_string(w.folders) +
                      ", \"copyFile\": " + std::to_string(w.copies) + "}"},
  };
  for (std::size_t i = 0; i < std::size(kFigures); ++i) {
    json += "    \"" + std::string(kFigures[i].first) + "\": " + kFigures[i].second +
            (i + 1 < std::size(kFigures) ? ",\n" : "\n");
  }
  json += "  },\n  \"failures\": [";
  for (std::size_t i = 0; i < r.failures.size(); ++i) {
    const auto& [action, cause] = r.failures[i];
    json += i == 0 ? "\n" : ",\n";
    json += "    {\"action\": " + Quoted(action.action) + ", \"path\": " + Quoted(action.path);
    if (!action.to.empty()) json += ", \"to\": " + Quoted(action.to);
    json += ", \"error\": " + Quoted(cause) + "}";
  }
  json += r.failures.empty() ? "],\n" : "\n  ],\n";
  field("failuresLeftOut", std::to_string(r.failuresLeftOut), true);
  return json + "}\n";
}

}  // namespace fts
