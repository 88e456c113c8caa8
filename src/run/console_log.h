// The run's report: one time-stamped line per event on standard output,
// written as it happens so that a watcher sees the run's progress live.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace fts {

// "YYYY/MM/DD HH:MM:SS".
std::string FormatLogStamp(const LocalDateTime& now);

// A line on a terminal that the log's lines must not run into: it is taken
// away before each log line and drawn again after it.
class StatusLine {
 public:
  virtual ~StatusLine() = default;
  virtual void Hide() = 0;
  virtual void Show() = 0;
};

class ConsoleLog {
 public:
  explicit ConsoleLog(Platform& platform) : platform_(platform) {}

  void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
  void SetStatusLine(StatusLine* status) { status_ = status; }

  // The stamp, in a dry run " [--dry-run]", then a blank and the message.
  void WriteLog(std::string_view message);
  // A line without stamp: the usage text and the command-line rejection.
  void WritePlain(std::string_view line);

 private:
  Platform& platform_;
  bool dryRun_ = false;
  StatusLine* status_ = nullptr;
};

}  // namespace fts
