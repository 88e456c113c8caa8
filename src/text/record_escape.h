// Paths in inventory records. A record's fields are joined by "," and its
// lines end in CR LF, so a path that holds a line break, the delimiter, or
// ends in a way that runs into the next delimiter would split into the wrong
// fields. Such paths are written escaped; every other path stands as it is.
#pragma once

#include <string>
#include <string_view>

namespace fts {

// Marks an escaped field. A real path that begins with it is escaped too, so
// a field that begins with it is always an escaped one.
inline constexpr std::string_view kEscapeMarker = "%%";

bool PathNeedsEscape(std::string_view path);

// The field text for `path`: the path itself, or the marker followed by the
// path with its control bytes, '%', '"' and ',' written as %XX.
std::string EscapeRecordPath(std::string_view path);
void AppendEscapedRecordPath(std::string& out, std::string_view path);

// The path that a field stands for.
std::string UnescapeRecordPath(std::string_view field);

}  // namespace fts

namespace fts {

// The path a field stands for, as a view of the field itself when it is not
// escaped (the usual case) and of `scratch` otherwise.
std::string_view RecordPathView(std::string_view field, std::string& scratch);

}  // namespace fts
