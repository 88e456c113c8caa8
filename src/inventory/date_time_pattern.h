// Writes a local date and time by a pattern in the letters of the Windows
// regional settings, the form in which the system hands out its short date
// and long time formats:
//
//   d, dd        day of the month, without and with a leading zero
//   ddd, dddd    abbreviated and full name of the day of the week
//   M, MM        month, without and with a leading zero
//   MMM, MMMM    abbreviated and full name of the month
//   y, yy        the last two digits of the year, without and with a leading zero
//   yyyy         the whole year, four digits at least (yyy and yyyyy alike)
//   g, gg        the era
//   h, hh        hour on the 12-hour clock, without and with a leading zero
//   H, HH        hour on the 24-hour clock, without and with a leading zero
//   m, mm        minutes, without and with a leading zero
//   s, ss        seconds, without and with a leading zero
//   t, tt        the first character of the AM or PM text, the whole text
//
// Text between single quotes is taken as it is, and two single quotes stand
// for one. Every other character is literal, "/" and ":" included.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace fts {

// Appends `t` written by `pattern` to `out`.
void AppendDateTimePattern(std::string& out, std::string_view pattern, const LocalDateTime& t,
                           const RegionalFormats& names);

std::string FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t,
                                  const RegionalFormats& names);

}  // namespace fts
