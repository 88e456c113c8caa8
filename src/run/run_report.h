// What a run did, in sum: the figures of --stats and the JSON document of
// --report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mirror/mirror_actions.h"
#include "platform/platform.h"

namespace fts {

struct RunFigures {
  std::int64_t sourceFiles = 0;
  std::int64_t sourceFolders = 0;
  std::int64_t destinationFiles = 0;
  std::int64_t destinationFolders = 0;
  std::int64_t identicalEntries = 0;
  std::int64_t excludedEntries = 0;
  ActionCounts actions;
  double listingSeconds = 0;
  double comparisonSeconds = 0;
  double actionSeconds = 0;
  // The run weighed more than the time: --stats tells the entries mended
  // in place too.
  bool attributesWeighed = false;

  // Bytes copied a second while the actions ran.
  std::uint64_t CopyRate() const;
};

// The lines of --stats, "Label : value", in a fixed order with fixed labels.
std::vector<std::string> StatsLines(const RunFigures& figures);

// Everything the report tells of a run.
struct RunRecord {
  std::string source;  // as typed
  std::string destination;
  bool dryRun = false;
  LocalDateTime start;
  LocalDateTime end;
  int exitCode = 0;
  // "normal end", "abnormal end", "bad command line", "unhandled error" or
  // "interrupted".
  std::string ending;
  std::string error;  // the unhandled error's text
  RunFigures figures;
  std::vector<std::pair<ActionRecord, std::string>> failures;  // with the system's text
  std::int64_t failuresLeftOut = 0;                            // past the most a report keeps

  static constexpr std::size_t kMostFailures = 10000;
  void AddFailure(const ActionRecord& action, const std::string& cause);
};

// The report as one JSON document. The exit code always takes three
// characters at `exitCodeAt` when it is 100 or more, so that an interrupt
// can write its own there.
std::string ReportJson(const RunRecord& record, std::size_t* exitCodeAt = nullptr);

}  // namespace fts
