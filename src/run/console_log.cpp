#include "run/console_log.h"

#include <cstdio>
#include <string>

namespace fts {

std::string FormatLogStamp(const LocalDateTime& now) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d:%02d", now.year, now.month,
                now.day, now.hour, now.minute, now.second);
  return stamp;
}

void ConsoleLog::WriteLog(std::string_view message) {
  std::string line = FormatLogStamp(platform_.Now());
  if (dryRun_) line += " [--dry-run]";
  line += ' ';
  line += message;
  line += kConsoleLineEnd;
  platform_.WriteStdout(line);
}

void ConsoleLog::WritePlain(std::string_view text) {
  std::string line(text);
  line += kConsoleLineEnd;
  platform_.WriteStdout(line);
}

}  // namespace fts
