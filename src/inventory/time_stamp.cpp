#include "inventory/time_stamp.h"

#include <cstdio>

namespace fts {

std::string FormatTimeStamp(const LocalDateTime& local, bool dosRange) {
  const int second = dosRange ? local.second & ~1 : local.second;
  char text[96];
  if (local.hour == 0 && local.minute == 0 && second == 0) {
    std::snprintf(text, sizeof text, "%04d/%02d/%02d", local.year, local.month, local.day);
  } else {
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %d:%02d:%02d", local.year, local.month,
                  local.day, local.hour, local.minute, second);
  }
  return text;
}

std::string TimeStampOf(Platform& platform, const DirEntryInfo& info, Side side) {
  if (info.isSymlink) return std::string(kLinkTimeStamp);
  if (!info.timeValid) {
    return side == Side::kSource ? "(time unreadable: source)" : "(time unreadable: destination)";
  }
  LocalDateTime local;
  if (!platform.ToLocalTime(info.lastWrite, local)) {
    std::string text = "@";
    text += std::to_string(info.lastWrite.seconds);
    return text;
  }
  const bool dosRange = local.year >= 1980 && local.year <= 2107;
  return FormatTimeStamp(local, dosRange);
}

}  // namespace fts
