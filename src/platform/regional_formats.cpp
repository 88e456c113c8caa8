#include "platform/regional_formats.h"

namespace fts {
namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

TimeFormatShape ShapeOfTimeFormat(std::string_view format) {
  TimeFormatShape shape;
  bool seenHour = false;
  bool seenMinute = false;
  bool seenMarker = false;
  auto literal = [&](std::string_view text) {
    if (seenHour && !seenMinute) {
      shape.separator.append(text);
    }
  };

  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '\'') {
      ++i;
      if (i < format.size() && format[i] == '\'') {
        literal("'");
        ++i;
        continue;
      }
      while (i < format.size()) {
        if (format[i] == '\'') {
          if (i + 1 < format.size() && format[i + 1] == '\'') {
            literal("'");
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        literal(format.substr(i, 1));
        ++i;
      }
      continue;
    }
    std::size_t run = 1;
    while (i + run < format.size() && format[i + run] == c) {
      ++run;
    }
    if (c == 'h' || c == 'H') {
      if (!seenHour) {
        seenHour = true;
        shape.twelveHour = c == 'h';
        shape.twoDigitHour = run >= 2;
        shape.markerFirst = seenMarker;
      }
    } else if (c == 'm') {
      if (seenHour) {
        seenMinute = true;
      }
    } else if (c == 't') {
      seenMarker = true;
    } else if (c == 's') {
      // the seconds: nothing to learn
    } else {
      literal(format.substr(i, run));
    }
    i += run;
  }
  if (!seenMinute) {
    shape.separator.clear();
  }
  return shape;
}

std::string PatternLiteral(std::string_view text) {
  bool quote = false;
  for (char c : text) {
    if (IsAsciiLetter(c) || c == '\'') {
      quote = true;
    }
  }
  if (!quote) {
    return std::string(text);
  }
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') {
      out += '\'';
    }
  }
  out += '\'';
  return out;
}

std::string LongTimePattern(const TimeFormatShape& shape, std::string_view separator,
                            bool hasMarker) {
  const std::string joint = PatternLiteral(separator);
  std::string time =
      shape.twelveHour ? (shape.twoDigitHour ? "hh" : "h") : (shape.twoDigitHour ? "HH" : "H");
  time += joint + "mm" + joint + "ss";
  if (!shape.twelveHour || !hasMarker) {
    return time;
  }
  return shape.markerFirst ? "tt " + time : time + " tt";
}

}  // namespace fts
