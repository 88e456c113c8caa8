#include "run/console_log.h"

#include <cstdio>
#include <string>

namespace fts {
namespace {

// The date with two literal "/", a blank, then hours, minutes and seconds
// in two digits each, joined by the system's time separator.
std::string FormatLogStampWith(const LocalDateTime& now, std::string_view timeSeparator) {
  const int separatorLength = static_cast<int>(timeSeparator.size());
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d%.*s%02d%.*s%02d", now.year, now.month,
                now.day, now.hour, separatorLength, timeSeparator.data(), now.minute,
                separatorLength, timeSeparator.data(), now.second);
  return stamp;
}

}  // namespace

std::string FormatLogStamp(const LocalDateTime& now) {
  return FormatLogStampWith(now, ":");
}

void ConsoleLog::WriteLog(std::string_view message) {
  std::string line =
      FormatLogStampWith(platform_.Now(), platform_.RegionalSettings().timeSeparator);
  if (dryRun_) line += " [--dry-run]";
  line += ' ';
  line += message;
  line += kConsoleLineEnd;
  if (status_ != nullptr) status_->Hide();
  platform_.WriteStdout(line);
  if (status_ != nullptr) status_->Show();
}

void ConsoleLog::WritePlain(std::string_view text) {
  std::string line(text);
  line += kConsoleLineEnd;
  platform_.WriteStdout(line);
}

}  // namespace fts
