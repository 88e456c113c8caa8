// Turns the user's regional time settings into the formats the program
// writes. The log stamp takes only the time separator. TimeStamp takes the
// short date format as it is, and a long time format rebuilt from the
// settings: the hour without a leading zero (two digits when the settings
// ask for a leading zero), the separator, the minutes and the seconds in two
// digits each; on the 12-hour clock the AM or PM text follows after a blank,
// or comes first followed by a blank when the settings put it first.
#pragma once

#include <string>
#include <string_view>

namespace fts {

// What a time format (the settings' long time format, in the letters of
// text/date_time_pattern.h) asks for.
struct TimeFormatShape {
  bool twelveHour = false;
  bool twoDigitHour = false;
  bool markerFirst = false;  // the AM/PM text stands before the hour
  std::string separator;     // the literal text between the hour and the minutes
};

TimeFormatShape ShapeOfTimeFormat(std::string_view timeFormat);

// `text` as literal text of a pattern: quoted when it holds a letter or a
// quote, as it is otherwise.
std::string PatternLiteral(std::string_view text);

// The long time pattern for TimeStamp. `hasMarker` is false when the
// settings give no AM/PM text at all.
std::string LongTimePattern(const TimeFormatShape& shape, std::string_view separator,
                            bool hasMarker);

}  // namespace fts
